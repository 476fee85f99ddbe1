// macOS: SHA-256 by CommonCrypto, in pieces its 32-bit lengths take.
#include <CommonCrypto/CommonDigest.h>

#include "platform.h"

bool sha256(const void *data, size_t size, unsigned char *digest) {
  const size_t PIECE = 1u << 30;
  CC_SHA256_CTX context;
  CC_SHA256_Init(&context);
  for (const char *bytes = static_cast<const char *>(data); size > 0;) {
    size_t piece = size < PIECE ? size : PIECE;
    CC_SHA256_Update(&context, bytes, (CC_LONG)piece);
    bytes += piece;
    size -= piece;
  }
  return CC_SHA256_Final(digest, &context) == 1;
}
