#include "framework/device_thread.h"

#include <cerrno>

namespace {
// The thread object whose svc() runs on the current thread, if any.
thread_local const MMDeviceThreadBase* currentThreadObject = nullptr;

MMDeviceThreadBase::ThreadCreator threadCreator = &pthread_create;
}  // namespace

void MMDeviceThreadBase::SetThreadCreatorForTesting(ThreadCreator creator) {
  threadCreator = creator ? creator : &pthread_create;
}

int MMDeviceThreadBase::activate() {
  if (joinable_) return EBUSY;
  // Written before the thread exists, so the thread may read it without a race.
  joinable_ = true;
  int result = threadCreator(&thread_, nullptr, &MMDeviceThreadBase::ThreadEntry, this);
  if (result != 0) joinable_ = false;
  return result;
}

void MMDeviceThreadBase::wait() {
  if (IsCurrentThread() || !joinable_) return;
  pthread_join(thread_, nullptr);
  joinable_ = false;
}

void MMDeviceThreadBase::detach() {
  if (!joinable_) return;
  pthread_detach(IsCurrentThread() ? pthread_self() : thread_);
  joinable_ = false;
}

bool MMDeviceThreadBase::IsCurrentThread() const {
  return currentThreadObject == this;
}

void* MMDeviceThreadBase::ThreadEntry(void* self) {
  auto* thread = static_cast<MMDeviceThreadBase*>(self);
  currentThreadObject = thread;
  try {
    thread->svc();
  } catch (...) {
    // Nothing may escape a thread; svc() reports its own failures.
  }
  currentThreadObject = nullptr;
  return nullptr;
}
