// Preloaded into the server by ServerTest (LD_PRELOAD) to fail calls that no
// outside condition makes fail reliably: FAIL_THREAD=N fails the Nth thread
// start, FAIL_CIPHER_LIST (any value) the setting of the cipher list.
#include <dlfcn.h>
#include <openssl/ssl.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                              void* arg) {
  using Real = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static std::atomic<int> calls{0};
  const char* failAt = getenv("FAIL_THREAD");
  if (failAt != nullptr && ++calls == atoi(failAt)) return EAGAIN;
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_create"));
  return real(thread, attr, entry, arg);
}

extern "C" int SSL_CTX_set_cipher_list(SSL_CTX* ctx, const char* list) {
  using Real = int (*)(SSL_CTX*, const char*);
  if (getenv("FAIL_CIPHER_LIST") != nullptr) return 0;
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "SSL_CTX_set_cipher_list"));
  return real(ctx, list);
}
