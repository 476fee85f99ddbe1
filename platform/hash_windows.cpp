// Windows: SHA-256 by BCrypt, a piece at a time.
#include <windows.h>

#include <bcrypt.h>

#include "platform.h"

sha256_outcome sha256(const void *data, size_t size, unsigned char *digest,
                      const std::atomic<bool> &stop) {
  BCRYPT_ALG_HANDLE algorithm = NULL;
  BCRYPT_HASH_HANDLE hash = NULL;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0) < 0)
    return SHA256_NO_LIBRARY;
  bool made = BCryptCreateHash(algorithm, &hash, NULL, 0, NULL, 0, 0) >= 0;
  for (const unsigned char *bytes = static_cast<const unsigned char *>(data); made && size > 0;) {
    size_t piece = size < SHA256_PIECE ? size : SHA256_PIECE;
    made = !stop && BCryptHashData(hash, (PUCHAR)bytes, (ULONG)piece, 0) >= 0;
    bytes += piece;
    size -= piece;
  }
  made = made && BCryptFinishHash(hash, digest, (ULONG)SHA256_SIZE, 0) >= 0;
  if (hash != NULL)
    BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return made ? SHA256_DONE : SHA256_NOT_DONE;
}
