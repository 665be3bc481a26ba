// Counts every operator new of the process by replacing the global allocation
// functions in the benchmark executable. The executable exports them (see
// CMakeLists.txt), so the module, which the host stand-in loads without
// RTLD_DEEPBIND, binds to them as well. The simulated vendor library is loaded
// with RTLD_DEEPBIND and keeps the C++ runtime's own: its allocations are the
// vendor's and are not counted.
#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "bench/bench_support.h"

namespace {

std::atomic<uint64_t> g_calls{0};
std::atomic<uint64_t> g_bytes{0};

// Diagnosis: while armed, the call stacks of the next allocations are written
// to standard error (PYXON_BENCH_ALLOC_TRACE=N in the memory benchmark).
std::atomic<int> g_tracesLeft{0};
thread_local bool t_tracing = false;

void TraceAllocation(std::size_t size) {
  if (g_tracesLeft.load(std::memory_order_relaxed) <= 0 || t_tracing) return;
  if (g_tracesLeft.fetch_sub(1) <= 0) return;
  t_tracing = true;
  void* frames[24];
  const int depth = backtrace(frames, 24);
  char header[64];
  const int length = std::snprintf(header, sizeof header, "--- operator new(%zu)\n", size);
  if (length > 0) (void)!write(STDERR_FILENO, header, static_cast<size_t>(length));
  backtrace_symbols_fd(frames, depth, STDERR_FILENO);
  t_tracing = false;
}

void* Allocate(std::size_t size) {
  g_calls.fetch_add(1, std::memory_order_relaxed);
  g_bytes.fetch_add(size, std::memory_order_relaxed);
  TraceAllocation(size);
  if (size == 0) size = 1;
  for (;;) {
    if (void* p = std::malloc(size)) return p;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
  g_calls.fetch_add(1, std::memory_order_relaxed);
  g_bytes.fetch_add(size, std::memory_order_relaxed);
  const std::size_t align = static_cast<std::size_t>(alignment);
  const std::size_t rounded = (std::max<std::size_t>(size, 1) + align - 1) / align * align;
  for (;;) {
    if (void* p = std::aligned_alloc(align, rounded)) return p;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

}  // namespace

namespace bench {

AllocationCount Allocations() {
  return {g_calls.load(std::memory_order_relaxed), g_bytes.load(std::memory_order_relaxed)};
}

void TraceNextAllocations(int count) {
  if (count > 0) {
    // backtrace() loads its unwinder on first use, which allocates: do it now.
    void* frame[1];
    t_tracing = true;
    backtrace(frame, 1);
    t_tracing = false;
  }
  g_tracesLeft.store(count);
}

}  // namespace bench

void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return AllocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return AllocateAligned(size, alignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  try {
    return AllocateAligned(size, alignment);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  try {
    return AllocateAligned(size, alignment);
  } catch (...) {
    return nullptr;
  }
}

void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
