// The image upload.
#pragma once

// Sends the image file to the synchronized target unchanged and prints
// "program loaded, N bytes". Returns only on success.
void upload_image(const char *path);
