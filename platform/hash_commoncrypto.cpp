// macOS: SHA-256 by CommonCrypto, a piece at a time.
#include <CommonCrypto/CommonDigest.h>

#include "platform.h"

sha256_outcome sha256(const void *data, size_t size, unsigned char *digest,
                      const std::atomic<bool> &stop) {
  CC_SHA256_CTX context;
  CC_SHA256_Init(&context);
  for (const char *bytes = static_cast<const char *>(data); size > 0;) {
    if (stop)
      return SHA256_NOT_DONE;
    size_t piece = size < SHA256_PIECE ? size : SHA256_PIECE;
    CC_SHA256_Update(&context, bytes, (CC_LONG)piece);
    bytes += piece;
    size -= piece;
  }
  return CC_SHA256_Final(digest, &context) == 1 ? SHA256_DONE : SHA256_NOT_DONE;
}
