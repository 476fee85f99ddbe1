// Linux: SHA-256 by OpenSSL's libcrypto, loaded only when a run keeps a
// record: loaded with the program, its start-up alone cost every run
// 1.7 MiB of memory.
#include <dlfcn.h>

#include "platform.h"

typedef void *(*new_context_function)(void);
typedef void (*free_context_function)(void *context);
typedef const void *(*digest_type_function)(void);
typedef int (*init_function)(void *context, const void *type, void *engine);
typedef int (*update_function)(void *context, const void *data, size_t size);
typedef int (*final_function)(void *context, unsigned char *digest, unsigned int *length);

struct crypto_calls {
  new_context_function new_context;
  free_context_function free_context;
  digest_type_function sha256_type;
  init_function init;
  update_function update;
  final_function final;
};

static bool load_crypto(crypto_calls *calls) {
  static void *crypto = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
  if (crypto == NULL)
    return false;
  calls->new_context = (new_context_function)dlsym(crypto, "EVP_MD_CTX_new");
  calls->free_context = (free_context_function)dlsym(crypto, "EVP_MD_CTX_free");
  calls->sha256_type = (digest_type_function)dlsym(crypto, "EVP_sha256");
  calls->init = (init_function)dlsym(crypto, "EVP_DigestInit_ex");
  calls->update = (update_function)dlsym(crypto, "EVP_DigestUpdate");
  calls->final = (final_function)dlsym(crypto, "EVP_DigestFinal_ex");
  return calls->new_context && calls->free_context && calls->sha256_type && calls->init &&
         calls->update && calls->final;
}

sha256_outcome sha256(const void *data, size_t size, unsigned char *digest,
                      const std::atomic<bool> &stop) {
  crypto_calls calls;
  if (!load_crypto(&calls))
    return SHA256_NO_LIBRARY;
  void *context = calls.new_context();
  bool made = context != NULL && calls.init(context, calls.sha256_type(), NULL) == 1;
  for (const char *bytes = static_cast<const char *>(data); made && size > 0;) {
    size_t piece = size < SHA256_PIECE ? size : SHA256_PIECE;
    made = !stop && calls.update(context, bytes, piece) == 1;
    bytes += piece;
    size -= piece;
  }
  unsigned int length = 0;
  made = made && calls.final(context, digest, &length) == 1 && length == SHA256_SIZE;
  calls.free_context(context);
  return made ? SHA256_DONE : SHA256_NOT_DONE;
}
