// Resource hygiene: over many Initialize/Shutdown and create/delete cycles
// the process's open descriptors (/proc/self/fd), threads (/proc/self/task)
// and resident memory (VmRSS, after a warm-up) stay flat. Memory is judged
// only in plain builds: the sanitizers' allocators keep freed memory on
// purpose (LeakSanitizer checks the same code for leaks in those builds).
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdio>
#include <string>
#include <thread>

#include "tests/reliability/reliability_support.h"

namespace reltest {
namespace {

// Slack for memory the allocator keeps in its per-thread arenas (the
// simulator's worker threads allocate in their own, and glibc returns them
// lazily: up to about 7 MB was seen on a loaded machine); a leak of one camera
// buffer per cycle would still exceed it many times over.
constexpr long kResidentSlackKb = 32768;

struct Reading {
  int descriptors = 0;
  int threads = 0;
  long residentKb = 0;
};

class ResourceHygieneTest : public ReliabilityTest {
 protected:
  void SetUp() override {
    ReliabilityTest::SetUp();
    sim_.trace_enable(0);  // the bounded trace would grow to its bound meanwhile
    // Image buffers are tens of megabytes. A fixed mapping threshold keeps
    // them out of the heap (the allocator would otherwise raise it after the
    // first free and keep freed buffers resident), so VmRSS shows what is
    // still allocated.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    // One arena: per-thread arenas (the simulator and the sequence threads
    // come and go) would each keep their own free memory.
    mallopt(M_ARENA_MAX, 1);
  }

  Reading Read(int baselineThreads) {
    // A closed camera's simulator worker ends in the background and is joined
    // by the simulator's next reset.
    for (int i = 0; i < 200 && ThreadCount() > baselineThreads; ++i) {
      sim_.reset();
      std::this_thread::sleep_for(10ms);
    }
    malloc_trim(0);  // free pages of every arena back to the system
    return Reading{OpenDescriptorCount(), ThreadCount(), ResidentKilobytes()};
  }

  // Descriptors and threads must be back exactly after each half. Memory: a
  // leak grows in both halves, whereas the allocator's one-time steps (a new
  // arena, a thread stack) show in one half only.
  void ExpectFlat(const Reading& before, const Reading& middle, const Reading& after,
                  const char* what, int cycles) {
    std::printf(
        "[figures] %s, %d cycles: descriptors %d -> %d -> %d, threads %d -> %d -> %d, "
        "VmRSS %ld -> %ld -> %ld kB\n",
        what, cycles, before.descriptors, middle.descriptors, after.descriptors, before.threads,
        middle.threads, after.threads, before.residentKb, middle.residentKb, after.residentKb);
    EXPECT_EQ(middle.descriptors, before.descriptors) << what << ": descriptors leaked";
    EXPECT_EQ(after.descriptors, before.descriptors) << what << ": descriptors leaked";
    EXPECT_EQ(middle.threads, before.threads) << what << ": threads leaked";
    EXPECT_EQ(after.threads, before.threads) << what << ": threads leaked";
    if (!SanitizerBuild()) {
      const long first = middle.residentKb - before.residentKb;
      const long second = after.residentKb - middle.residentKb;
      EXPECT_TRUE(first <= kResidentSlackKb || second <= kResidentSlackKb)
          << what << ": memory grew by " << first << " and " << second << " kB";
    }
  }

  // One cycle of the host's use of a camera.
  void UseCamera(MM::Camera* camera) {
    ASSERT_EQ(Initialize(camera), 0);
    ASSERT_EQ(SetProperty(camera, "IO:Trigger Source", "Software Trigger"), 0);
    MakeFast(camera, kPxFull, 1000);
    ASSERT_EQ(Snap(camera), 0);
    const size_t finished = host_.finishedCount();
    ASSERT_EQ(StartSequence(camera, 3), 0);
    ASSERT_TRUE(host_.waitForFinished(kHangGuard, finished + 1));
    host_.reset();
    ASSERT_EQ(Shutdown(camera), 0);
  }
};

TEST_F(ResourceHygieneTest, InitializeShutdownCyclesStayFlat) {
  MM::Camera* camera = devices_.Create("PX-FULL", &host_);
  const int baselineThreads = ThreadCount();
  for (int i = 0; i < 5 && !HasFatalFailure(); ++i) UseCamera(camera);  // warm-up
  const int cycles = StressCount(40);
  Reading readings[3];
  for (int half = 0; half < 3; ++half) {
    readings[half] = Read(baselineThreads);
    for (int i = 0; half < 2 && i < cycles; ++i) {
      UseCamera(camera);
      if (HasFatalFailure()) return;
    }
  }
  ExpectFlat(readings[0], readings[1], readings[2], "Initialize/Shutdown", 2 * cycles);
}

TEST_F(ResourceHygieneTest, CreateDeleteCyclesStayFlat) {
  const int baselineThreads = ThreadCount();
  auto cycle = [&] {
    MM::Camera* camera = devices_.Create("PX-FULL", &host_);
    UseCamera(camera);
    devices_.Destroy(camera);
    // A device deleted while open and acquiring.
    camera = devices_.Open("PX-678C", &host_);
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(SetProperty(camera, "IO:Trigger Source", "Software Trigger"), 0);
    ASSERT_EQ(StartContinuous(camera), 0);
    devices_.Release(camera);
    LoadedModule().DeleteDevice(camera);
    host_.reset();
  };
  for (int i = 0; i < 5 && !HasFatalFailure(); ++i) cycle();  // warm-up
  const int cycles = StressCount(40);
  Reading readings[3];
  for (int half = 0; half < 3; ++half) {
    readings[half] = Read(baselineThreads);
    for (int i = 0; half < 2 && i < cycles; ++i) {
      cycle();
      if (HasFatalFailure()) return;
    }
  }
  ExpectFlat(readings[0], readings[1], readings[2], "create/delete", 2 * cycles);
}

}  // namespace
}  // namespace reltest
