// Resource hygiene: over many Initialize/Shutdown and create/delete cycles
// the process's open descriptors (/proc/self/fd), threads (/proc/self/task)
// and resident memory (VmRSS, after a warm-up) stay flat. Memory is judged
// only in plain builds: the sanitizers' allocators keep freed memory on
// purpose (LeakSanitizer checks the same code for leaks in those builds).
#include <gtest/gtest.h>

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
  int descriptors;
  int threads;
  long residentKb;
};

class ResourceHygieneTest : public ReliabilityTest {
 protected:
  void SetUp() override {
    ReliabilityTest::SetUp();
    sim_.trace_enable(0);  // the bounded trace would grow to its bound meanwhile
  }

  Reading Read(int baselineThreads) {
    // A closed camera's simulator worker ends in the background and is joined
    // by the simulator's next reset.
    for (int i = 0; i < 200 && ThreadCount() > baselineThreads; ++i) {
      sim_.reset();
      std::this_thread::sleep_for(10ms);
    }
    return Reading{OpenDescriptorCount(), ThreadCount(), ResidentKilobytes()};
  }

  void ExpectFlat(const Reading& before, const Reading& after, const char* what, int cycles) {
    std::printf(
        "[figures] %s, %d cycles: descriptors %d -> %d, threads %d -> %d, VmRSS %ld -> %ld kB\n",
        what, cycles, before.descriptors, after.descriptors, before.threads, after.threads,
        before.residentKb, after.residentKb);
    EXPECT_EQ(after.descriptors, before.descriptors) << what << ": descriptors leaked";
    EXPECT_EQ(after.threads, before.threads) << what << ": threads leaked";
    if (!SanitizerBuild()) {
      EXPECT_LE(after.residentKb - before.residentKb, kResidentSlackKb) << what << ": memory grew";
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
  const Reading before = Read(baselineThreads);
  const int cycles = StressCount(60);
  for (int i = 0; i < cycles; ++i) {
    UseCamera(camera);
    if (HasFatalFailure()) return;
  }
  ExpectFlat(before, Read(baselineThreads), "Initialize/Shutdown", cycles);
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
  const Reading before = Read(baselineThreads);
  const int cycles = StressCount(60);
  for (int i = 0; i < cycles; ++i) {
    cycle();
    if (HasFatalFailure()) return;
  }
  ExpectFlat(before, Read(baselineThreads), "create/delete", cycles);
}

}  // namespace
}  // namespace reltest
