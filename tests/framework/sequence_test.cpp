// The sequence thread driven through the test camera: counts, stop, overflow,
// the order of host calls and thread ownership.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "tests/framework/test_support.h"

using fwtest::FakeHost;
using fwtest::TestCamera;

namespace {

using Events = std::vector<std::string>;

const char* const kExiting = "log:Sequence thread exiting";
const char* const kInterrupted = "log:SeqAcquisition interrupted by the user\n";

size_t ThreadCount() {
  size_t count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

// The thread count once it is at most `limit`, or after a second. A joined
// thread's task entry can outlive the join by a moment.
size_t ThreadCountAtMost(size_t limit) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  size_t count = ThreadCount();
  while (count > limit && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    count = ThreadCount();
  }
  return count;
}

int SlowSnap() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return 0;
}

class SequenceTest : public ::testing::Test {
 protected:
  void SetUp() override { camera.SetCallback(&host); }

  // Starts a counted sequence and waits for its end report.
  Events RunToEnd(long count, bool stopOnOverflow = false) {
    const int finishedBefore = host.Finished();
    EXPECT_EQ(camera.StartSequenceAcquisition(count, 0.0, stopOnOverflow), 0);
    EXPECT_TRUE(host.WaitFinished(finishedBefore + 1));
    camera.StopSequenceAcquisition();
    return host.Events();
  }

  FakeHost host;
  TestCamera camera;
};

}  // namespace

TEST_F(SequenceTest, OneImageCallsTheHostInOrder) {
  camera.SetLabel("Cam1");
  EXPECT_EQ(RunToEnd(1), (Events{"prepare", "insert", kExiting, "finished:0"}));
  EXPECT_EQ(camera.GetImageCounter(), 1);
  EXPECT_EQ(camera.Snaps(), 1);
  const auto inserts = host.Inserts();
  ASSERT_EQ(inserts.size(), 1u);
  EXPECT_EQ(inserts[0].metadata, "1\ns\nCamera\n_\n1\nCam1\n");
  EXPECT_EQ(inserts[0].pixels, camera.Pixels());
  EXPECT_EQ(inserts[0].width, TestCamera::kWidth);
  EXPECT_EQ(inserts[0].height, TestCamera::kHeight);
  EXPECT_EQ(inserts[0].bytesPerPixel, TestCamera::kBytesPerPixel);
  EXPECT_TRUE(inserts[0].process);
  EXPECT_FALSE(camera.IsCapturing());
}

// The sequence thread keeps the metadata text between images: a label changed
// between sequences must show in the next one.
TEST_F(SequenceTest, ImageMetadataFollowsALabelChangeBetweenSequences) {
  camera.SetLabel("Cam1");
  RunToEnd(2);
  camera.SetLabel("Camera with a label longer than any short string");
  RunToEnd(1);
  const auto inserts = host.Inserts();
  ASSERT_EQ(inserts.size(), 3u);
  EXPECT_EQ(inserts[0].metadata, "1\ns\nCamera\n_\n1\nCam1\n");
  EXPECT_EQ(inserts[1].metadata, inserts[0].metadata);
  EXPECT_EQ(inserts[2].metadata,
            "1\ns\nCamera\n_\n1\nCamera with a label longer than any short string\n");
}

TEST_F(SequenceTest, ThreeImagesAreCounted) {
  EXPECT_EQ(RunToEnd(3), (Events{"prepare", "insert", "insert", "insert", kExiting, "finished:0"}));
  EXPECT_EQ(camera.GetImageCounter(), 3);
  EXPECT_EQ(camera.GetNumberOfImages(), 3);
}

TEST_F(SequenceTest, ZeroAndNegativeCountsTakeExactlyOneImage) {
  for (long count : {0L, -5L, LONG_MIN}) {
    host.ClearEvents();
    EXPECT_EQ(RunToEnd(count), (Events{"prepare", "insert", kExiting, "finished:0"})) << count;
    EXPECT_EQ(camera.GetImageCounter(), 1) << count;
  }
}

TEST_F(SequenceTest, StartWhileCapturingIsBusyAndTheRunGoesOn) {
  camera.SetSnapHook(SlowSnap);
  ASSERT_EQ(camera.StartSequenceAcquisition(LONG_MAX, 0.0, false), 0);
  EXPECT_EQ(camera.StartSequenceAcquisition(1, 0.0, false), 30);
  EXPECT_EQ(camera.StartSequenceAcquisition(5.0), 30);
  ASSERT_TRUE(host.WaitInserts(3));
  EXPECT_TRUE(camera.IsCapturing());
  EXPECT_EQ(camera.StopSequenceAcquisition(), 0);
  const Events events = host.Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "prepare"), 1);
}

TEST_F(SequenceTest, RefusedPrepareStartsNothing) {
  host.SetPrepareResult(17);
  EXPECT_EQ(camera.StartSequenceAcquisition(3, 0.0, false), 17);
  EXPECT_FALSE(camera.IsCapturing());
  EXPECT_EQ(camera.StopSequenceAcquisition(), 0);
  EXPECT_EQ(host.Events(), Events{"prepare"});
  EXPECT_EQ(camera.Snaps(), 0);
}

TEST_F(SequenceTest, FailingSnapEndsTheSequence) {
  camera.ScriptSnapResults({0, 1, 0});
  EXPECT_EQ(RunToEnd(5), (Events{"prepare", "insert", kExiting, "finished:0"}));
  EXPECT_EQ(camera.Snaps(), 2);
  EXPECT_EQ(camera.GetImageCounter(), 1);
}

TEST_F(SequenceTest, StopDuringARunLogsTheInterruptionBeforeTheExit) {
  camera.SetSnapHook(SlowSnap);
  ASSERT_EQ(camera.StartSequenceAcquisition(LONG_MAX, 0.0, false), 0);
  ASSERT_TRUE(host.WaitInserts(2));
  EXPECT_EQ(camera.StopSequenceAcquisition(), 0);
  EXPECT_FALSE(camera.IsCapturing());
  const Events events = host.Events();  // complete: stop joined the thread
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events.front(), "prepare");
  EXPECT_EQ(Events(events.end() - 3, events.end()), (Events{kInterrupted, kExiting, "finished:0"}));
  for (size_t i = 1; i + 3 < events.size(); ++i) EXPECT_EQ(events[i], "insert") << i;
}

TEST_F(SequenceTest, StopWhenIdleDoesNotCallTheHost) {
  EXPECT_EQ(camera.StopSequenceAcquisition(), 0);
  EXPECT_TRUE(host.Events().empty());
}

TEST_F(SequenceTest, FullHostBufferIsClearedOnceAndRetried) {
  host.ScriptInsertResults({22, 0});
  EXPECT_EQ(RunToEnd(1), (Events{"prepare", "insert", "clear", "insert", kExiting, "finished:0"}));
  const auto inserts = host.Inserts();
  EXPECT_EQ(inserts[0].metadata, inserts[1].metadata);

  host.ClearEvents();
  host.ScriptInsertResults({22, 22, 0});  // a second overflow ends the sequence
  EXPECT_EQ(RunToEnd(3), (Events{"prepare", "insert", "clear", "insert", kExiting, "finished:0"}));
}

TEST_F(SequenceTest, StopOnOverflowEndsAtTheFirstOverflow) {
  host.ScriptInsertResults({22});
  EXPECT_EQ(RunToEnd(3, true), (Events{"prepare", "insert", kExiting, "finished:0"}));
  EXPECT_TRUE(camera.IsStopOnOverflow());
}

// A start right after a sequence ended by itself joins that thread first, so
// its end report always comes before the next prepare, and no thread is left.
TEST_F(SequenceTest, ManyCountedSequencesLeaveNoThreadAndNoStaleReport) {
  host.SetLogHook([](const std::string& text) {
    if (text == "Sequence thread exiting")
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  });
  // One sequence first: sanitizer runtimes start helper threads lazily.
  RunToEnd(1);
  host.ClearEvents();
  const int finishedBefore = host.Finished();
  const size_t threadsBefore = ThreadCount();
  constexpr int kSequences = 60;
  for (int i = 0; i < kSequences; ++i) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (camera.IsCapturing()) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline);
      std::this_thread::yield();
    }
    ASSERT_EQ(camera.StartSequenceAcquisition(1, 0.0, false), 0) << i;
    ASSERT_LE(ThreadCountAtMost(threadsBefore + 1), threadsBefore + 1);
  }
  ASSERT_TRUE(host.WaitFinished(finishedBefore + kSequences));
  camera.StopSequenceAcquisition();
  EXPECT_EQ(ThreadCountAtMost(threadsBefore), threadsBefore);

  Events expected;
  for (int i = 0; i < kSequences; ++i) {
    expected.insert(expected.end(), {"prepare", "insert", kExiting, "finished:0"});
  }
  EXPECT_EQ(host.Events(), expected);
}

TEST_F(SequenceTest, StopAndStartFromInsideTheInsertCallback) {
  std::atomic<int> startResult{-1};
  host.SetInsertHook([&] {
    startResult = camera.StartSequenceAcquisition(1, 0.0, false);
    EXPECT_EQ(camera.StopSequenceAcquisition(), 0);  // must not join itself
    camera.JoinSequenceThread();
    return 0;
  });
  ASSERT_EQ(camera.StartSequenceAcquisition(LONG_MAX, 0.0, false), 0);
  ASSERT_TRUE(host.WaitFinished(1));
  EXPECT_EQ(startResult.load(), 30);
  EXPECT_EQ(camera.StopSequenceAcquisition(), 0);
  EXPECT_EQ(host.Events(), (Events{"prepare", "insert", kInterrupted, kExiting, "finished:0"}));
}

TEST_F(SequenceTest, WithoutACallbackStartAndInsertReportNoCallback) {
  TestCamera lonely;
  EXPECT_EQ(lonely.StartSequenceAcquisition(1, 0.0, false), 13);
  EXPECT_FALSE(lonely.IsCapturing());
  EXPECT_EQ(lonely.InsertImage(), 13);
  EXPECT_EQ(lonely.Snaps(), 0);
}

TEST_F(SequenceTest, ThreadCreationFailureReportsOneAndStaysStopped) {
  MMDeviceThreadBase::SetThreadCreatorForTesting(
      [](pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; });
  const int result = camera.StartSequenceAcquisition(1, 0.0, false);
  MMDeviceThreadBase::SetThreadCreatorForTesting(nullptr);
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(camera.IsCapturing());
  EXPECT_EQ(camera.StopSequenceAcquisition(), 0);
  EXPECT_EQ(host.Events(), Events{"prepare"});
  EXPECT_EQ(RunToEnd(1), (Events{"prepare", "prepare", "insert", kExiting, "finished:0"}));
}

TEST_F(SequenceTest, ExceptionsInTheThreadAreLoggedAndTheEndIsStillReported) {
  camera.SetSnapHook([]() -> int { throw 42; });
  EXPECT_EQ(RunToEnd(3),
            (Events{"prepare", "log:Exception in the thread function.", kExiting, "finished:0"}));
  EXPECT_FALSE(camera.IsCapturing());
}

TEST_F(SequenceTest, DestroyingACapturingCameraStopsAndJoins) {
  auto* temporary = new TestCamera;
  temporary->SetCallback(&host);
  temporary->SetSnapHook(SlowSnap);
  ASSERT_EQ(temporary->StartSequenceAcquisition(LONG_MAX, 0.0, false), 0);
  ASSERT_TRUE(host.WaitInserts(1));
  delete temporary;
  EXPECT_EQ(host.Finished(), 1);
}
