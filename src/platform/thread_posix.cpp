#include <pthread.h>

#include <cstring>
#include <memory>

#include "platform/thread.h"

namespace tarnwick::platform {
namespace {

void* run_body(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

IoError thread_error(int code) { return IoError{std::strerror(code), code}; }

}  // namespace

Status start_detached_thread(std::size_t stack_bytes, std::function<void()> body) {
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) return thread_error(rc);
  int rc = pthread_attr_setstacksize(&attr, stack_bytes);
  if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  pthread_t thread;
  if (rc == 0) rc = pthread_create(&thread, &attr, run_body, owned.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) return thread_error(rc);
  (void)owned.release();  // the thread owns it now
  return ok_status();
}

}  // namespace tarnwick::platform
