// The image upload: read whole, sent unchanged, drained, reported.
#include "upload_image.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "../base/image_hash.h"
#include "../base/report.h"
#include "../base/run_record.h"
#include "../link/sending.h"
#include "../link/serial_port.h"
#include "../platform/platform.h"

// The image is read whole into one buffer, and the port is given the bytes
// from there. The file and the buffer are held until the process ends.
static HANDLE image = INVALID_HANDLE_VALUE;
static BYTE *buffer = NULL;

void upload_image(const char *path) {
  image = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (image == INVALID_HANDLE_VALUE)
    report_and_exit(&OPEN_FILE_FAILED, path, last_error_code());
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(image, &information))
    report_and_exit(&FILE_INFORMATION_FAILED, path, last_error_code());
  if (information.nFileSizeHigh != 0)
    report_and_exit(&FILE_TOO_LONG, path);
  image_size_known(information.nFileSizeLow);
  buffer = static_cast<BYTE *>(malloc(information.nFileSizeLow));
  if (buffer == NULL && information.nFileSizeLow != 0)
    report_and_exit(&NO_MEMORY);
  advise_large_buffer(buffer, information.nFileSizeLow);
  // The file may have shrunk since its size was taken: what was read is sent.
  DWORD read_count = 0;
  if (!ReadFile(image, buffer, information.nFileSizeLow, &read_count, NULL))
    report_and_exit(&READ_FILE_FAILED, path, last_error_code());
  if (read_count != information.nFileSizeLow)
    image_size_known(read_count);
  image_read(buffer, read_count);
  record_moment started = moment_now();
  watch_sending(read_count);
  send_bytes(buffer, read_count);
  // "program loaded" means the image has left the port.
  record_moment written = moment_now();
  begin_phase(PHASE_DRAIN);
  wait_until_sent();
  end_watching();
  record_moment drained = moment_now();
  long long sending_ms = ms_between(started, drained);
  wait_for_hash();
  const char *unavailable = nullptr;
  const char *sha256 = image_sha256(&unavailable);
  trace("image sent in %lld ms (%.1f KiB/s), drained in %lld ms, SHA-256 %s%s",
        (long long)sending_ms, sending_ms > 0 ? read_count / 1.024 / sending_ms : 0.0,
        (long long)ms_between(written, drained), sha256 != nullptr ? sha256 : "unknown, ",
        sha256 != nullptr ? "" : unavailable);
  printf("program loaded, %u bytes\n", bytes_sent);
  // The line goes out now: a log must show it even if the run is stopped
  // while it waits for the first programming reply, which has no time limit.
  fflush(stdout);
}
