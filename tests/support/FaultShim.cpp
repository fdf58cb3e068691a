// Preloaded into the server by ServerTest (LD_PRELOAD) to fail calls that no
// outside condition makes fail reliably: FAULT="thread N" fails the Nth
// thread start, FAULT="cipher list" the setting of the cipher list.
#include <dlfcn.h>
#include <openssl/ssl.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                              void* arg) {
  using Real = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static std::atomic<int> calls{0};
  const char* fault = getenv("FAULT");
  if (fault != nullptr && strncmp(fault, "thread ", 7) == 0 && ++calls == atoi(fault + 7)) {
    return EAGAIN;
  }
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_create"));
  return real(thread, attr, entry, arg);
}

extern "C" int SSL_CTX_set_cipher_list(SSL_CTX* ctx, const char* list) {
  using Real = int (*)(SSL_CTX*, const char*);
  const char* fault = getenv("FAULT");
  if (fault != nullptr && strcmp(fault, "cipher list") == 0) return 0;
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "SSL_CTX_set_cipher_list"));
  return real(ctx, list);
}
