// A POSIX worker thread owned by a device.
//
// activate() starts a joinable thread that runs svc() and returns; wait()
// joins it. The owner serialises activate() and wait() (the camera base does
// so with its control lock); IsCurrentThread() may be called from anywhere.
#pragma once

#include <pthread.h>

class MMDeviceThreadBase {
 public:
  MMDeviceThreadBase() = default;
  MMDeviceThreadBase(const MMDeviceThreadBase&) = delete;
  MMDeviceThreadBase& operator=(const MMDeviceThreadBase&) = delete;
  // The thread must have been joined (or detached) by the owner before this.
  virtual ~MMDeviceThreadBase() = default;  // 0, 1
  virtual int svc() = 0;                    // 2: the thread body
  // 3: starts the thread; 0, or the error of pthread_create (nothing started).
  // Refused with EBUSY while a previous thread has not been joined.
  virtual int activate();

  // Joins the thread when one was started and not yet joined. Does nothing
  // when called from the thread itself (that would deadlock).
  void wait();
  // Lets a started thread end on its own without a join (used only when the
  // thread itself tears its owner down).
  void detach();
  bool IsJoinable() const { return joinable_; }
  // True on the thread that runs svc() of this object.
  bool IsCurrentThread() const;

  // pthread_create by default. Tests replace it to make thread creation fail;
  // null restores the default. Not synchronised: set it while no thread starts.
  using ThreadCreator = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static void SetThreadCreatorForTesting(ThreadCreator creator);

 private:
  static void* ThreadEntry(void* self);

  pthread_t thread_{};
  bool joinable_ = false;
};
