// Mutexes, scoped locks and condition variables that Clang's thread-safety
// analysis understands (-Wthread-safety). The standard library's types carry no
// capability annotations, so every lock of the adapter, the framework and the
// simulator is one of these; with GCC the annotations compile to nothing.
//
// Annotate what a lock protects and who may wait:
//   GUARDED_BY(lock)   a field read or written only while holding `lock`;
//   REQUIRES(lock)     a function called with `lock` held;
//   EXCLUDES(lock)     a function that must not be called with `lock` held,
//                      typically because it waits for a thread that takes it.
// The analysis is per function and does not follow recursion: a recursive
// mutex taken again by a callee of the holder is not reported.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define PYX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PYX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) PYX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY PYX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) PYX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) PYX_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) PYX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) PYX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) PYX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) PYX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) PYX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) PYX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) PYX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) PYX_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) PYX_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS PYX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace pyx {

class CondVar;

// A plain mutex.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class UniqueLock;
  std::mutex mutex_;
};

// A recursive mutex.
class CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  // Not a timed mutex: ThreadSanitizer does not see its timed acquisitions.
  std::recursive_mutex mutex_;
};

// Holds a mutex for its scope.
template <class M>
class SCOPED_CAPABILITY ScopedLock {
 public:
  explicit ScopedLock(M& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~ScopedLock() RELEASE() { mutex_.unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  M& mutex_;
};

using MutexLock = ScopedLock<Mutex>;
using RecursiveLock = ScopedLock<RecursiveMutex>;

// A hold on a plain mutex that a condition variable can release while it waits.
class SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~UniqueLock() RELEASE() {}
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }

 private:
  friend class CondVar;
  std::unique_lock<std::mutex> lock_;
};

// A condition variable for UniqueLock; waits use the monotonic clock. The
// mutex is held again when a wait returns, as the analysis assumes.
class CondVar {
 public:
  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }

  void wait(UniqueLock& lock) { cv_.wait(lock.lock_); }
  template <class Predicate>
  void wait(UniqueLock& lock, Predicate ready) {
    cv_.wait(lock.lock_, ready);
  }
  template <class Clock, class Duration>
  std::cv_status wait_until(UniqueLock& lock,
                            const std::chrono::time_point<Clock, Duration>& deadline) {
    return cv_.wait_until(lock.lock_, deadline);
  }
  template <class Clock, class Duration, class Predicate>
  bool wait_until(UniqueLock& lock, const std::chrono::time_point<Clock, Duration>& deadline,
                  Predicate ready) {
    return cv_.wait_until(lock.lock_, deadline, ready);
  }
  template <class Rep, class Period, class Predicate>
  bool wait_for(UniqueLock& lock, const std::chrono::duration<Rep, Period>& timeout,
                Predicate ready) {
    return cv_.wait_for(lock.lock_, timeout, ready);
  }

 private:
  std::condition_variable cv_;
};

}  // namespace pyx
