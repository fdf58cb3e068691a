// Preloaded into the server by ServerTest and MembersTest (LD_PRELOAD) to
// fail calls that no outside condition makes fail reliably: FAULT="thread N"
// fails the Nth thread start, FAULT="cipher list" the setting of the cipher
// list; FAULT="kill before device" and "kill after device" end the process
// with SIGKILL just before or just after a file is renamed into a devices/
// directory (an enrolment's first step).
#include <dlfcn.h>
#include <openssl/ssl.h>
#include <pthread.h>

#include <signal.h>
#include <stdio.h>

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

extern "C" int rename(const char* from, const char* to) {
  using Real = int (*)(const char*, const char*);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "rename"));
  const char* fault = getenv("FAULT");
  const bool device = fault != nullptr && strstr(to, "/devices/") != nullptr;
  if (device && strcmp(fault, "kill before device") == 0) raise(SIGKILL);
  const int result = real(from, to);
  if (device && strcmp(fault, "kill after device") == 0) raise(SIGKILL);
  return result;
}
