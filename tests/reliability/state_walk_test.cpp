// Every host operation in every state of a camera: constructed, initialised
// and idle, acquiring, shut down, initialised again. The walk calls each slot
// by its raw position; the transition slots (destroy, initialise, shut down,
// start, stop) are called one at a time on a fresh device in each state.
// Whatever was called, the camera must still deliver a stamped frame after.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/reliability/reliability_support.h"
#include "tests/reliability/slot_walk.h"

namespace reltest {
namespace {

enum class CameraState { kConstructed, kIdle, kAcquiring, kShutDown, kReinitialised };

const CameraState kAllStates[] = {CameraState::kConstructed, CameraState::kIdle,
                                  CameraState::kAcquiring, CameraState::kShutDown,
                                  CameraState::kReinitialised};

const char* StateName(CameraState state) {
  switch (state) {
    case CameraState::kConstructed:
      return "constructed";
    case CameraState::kIdle:
      return "idle";
    case CameraState::kAcquiring:
      return "acquiring";
    case CameraState::kShutDown:
      return "shut down";
    case CameraState::kReinitialised:
      return "initialised again";
  }
  return "?";
}

WalkState WalkStateOf(CameraState state) {
  WalkState walk;
  walk.open = state == CameraState::kIdle || state == CameraState::kAcquiring ||
              state == CameraState::kReinitialised;
  walk.capturing = state == CameraState::kAcquiring;
  return walk;
}

struct Model {
  const char* name;
  int simIndex;
};

void PrintTo(const Model& model, std::ostream* out) {
  *out << model.name;
}

class StateWalkTest : public ReliabilityTest, public ::testing::WithParamInterface<Model> {
 protected:
  // A new device of the parameter's model in `state`.
  MM::Camera* Enter(CameraState state) {
    const Model model = GetParam();
    MM::Camera* camera = devices_.Create(model.name, &host_);
    if (camera == nullptr || state == CameraState::kConstructed) return camera;
    EXPECT_EQ(Initialize(camera), 0);
    PrepareOpened(camera);
    if (state == CameraState::kShutDown || state == CameraState::kReinitialised) {
      EXPECT_EQ(Shutdown(camera), 0);
    }
    if (state == CameraState::kReinitialised) {
      EXPECT_EQ(Initialize(camera), 0);
      PrepareOpened(camera);
    }
    if (state == CameraState::kAcquiring) {
      const size_t before = host_.acceptedCount();
      EXPECT_EQ(StartContinuous(camera), 0);
      EXPECT_TRUE(host_.waitForAccepted(before + 1, kHangGuard)) << "no frame while acquiring";
    }
    return camera;
  }

  void PrepareOpened(MM::Camera* camera) {
    // Hardware-triggered sequences would wait for pulses: let the camera run free.
    if (pyxhost::Camera(camera).HasProperty("IO:Trigger Source")) {
      EXPECT_EQ(SetProperty(camera, "IO:Trigger Source", "Software Trigger"), 0);
    }
    MakeFast(camera, GetParam().simIndex, 5000);
  }

  // The host's recovery: stop, initialise when closed, then a snap must
  // deliver an intact frame.
  void ExpectStillWorks(MM::Camera* camera, const std::string& context) {
    SCOPED_TRACE(context);
    EXPECT_EQ(StopSequence(camera), 0);
    EXPECT_FALSE(IsCapturing(camera));
    EXPECT_EQ(Initialize(camera), 0);
    ASSERT_EQ(Snap(camera), 0);
    EXPECT_NE(SnappedStamp(camera), 0u) << "torn or missing frame";
  }
};

TEST_P(StateWalkTest, EverySlotInEveryStateGivesADefinedResult) {
  for (CameraState state : kAllStates) {
    SCOPED_TRACE(StateName(state));
    MM::Camera* camera = Enter(state);
    ASSERT_NE(camera, nullptr);
    for (const std::string& problem : WalkSlots(camera, WalkStateOf(state), &host_)) {
      ADD_FAILURE() << StateName(state) << ": " << problem;
    }
    EXPECT_EQ(IsCapturing(camera), state == CameraState::kAcquiring)
        << "the walk changed the acquisition state";
    ExpectStillWorks(camera, "after the walk");
    devices_.Destroy(camera);
  }
}

TEST_P(StateWalkTest, InitializeAndShutdownInEveryState) {
  for (CameraState state : kAllStates) {
    SCOPED_TRACE(StateName(state));
    MM::Camera* camera = Enter(state);
    ASSERT_NE(camera, nullptr);
    // Open: returns at once; closed: opens the camera again.
    EXPECT_EQ(Initialize(camera), 0);
    EXPECT_EQ(Initialize(camera), 0);
    if (state == CameraState::kAcquiring) {
      EXPECT_TRUE(IsCapturing(camera));
    }
    ExpectStillWorks(camera, "after Initialize");

    camera = Enter(state);
    EXPECT_EQ(Shutdown(camera), 0);
    EXPECT_EQ(Shutdown(camera), 0);
    EXPECT_FALSE(IsCapturing(camera));
    EXPECT_NE(Snap(camera), 0) << "a shut-down camera cannot snap";
    ExpectStillWorks(camera, "after Shutdown");
    devices_.DestroyAll();
  }
}

TEST_P(StateWalkTest, StartAndStopInEveryState) {
  for (CameraState state : kAllStates) {
    SCOPED_TRACE(StateName(state));
    const bool open = WalkStateOf(state).open;
    const bool capturing = WalkStateOf(state).capturing;
    for (int startSlot : {slot::kStartSequence, slot::kStartContinuous}) {
      MM::Camera* camera = Enter(state);
      const size_t finishedBefore = host_.finishedCount();
      const int result =
          startSlot == slot::kStartSequence ? StartSequence(camera, 3) : StartContinuous(camera);
      if (capturing) {
        EXPECT_EQ(result, 30) << "start while capturing";
      } else if (open) {
        EXPECT_EQ(result, 0);
      } else {
        EXPECT_NE(result, 0) << "start without a camera";
        EXPECT_FALSE(IsCapturing(camera));
      }
      EXPECT_EQ(StopSequence(camera), 0);
      EXPECT_EQ(StopSequence(camera), 0);
      if (open) {
        EXPECT_TRUE(host_.waitForFinished(kHangGuard, finishedBefore + 1))
            << "the host was not told that the sequence finished";
      }
      ExpectStillWorks(camera, "after start and stop");
      devices_.Destroy(camera);
    }
  }
}

// Destruction in every state, through both destructor slots: the deleting
// destructor (what DeleteDevice does) and the complete-object destructor
// followed by freeing the memory.
TEST_P(StateWalkTest, DestroyInEveryStateThroughBothDestructorSlots) {
  for (CameraState state : kAllStates) {
    for (int destructor : {slot::kDeletingDestructor, slot::kCompleteDestructor}) {
      SCOPED_TRACE(std::string(StateName(state)) + ", slot " + std::to_string(destructor));
      const size_t finishedBefore = host_.finishedCount();
      MM::Camera* camera = Enter(state);
      ASSERT_NE(camera, nullptr);
      devices_.Release(camera);
      if (destructor == slot::kDeletingDestructor) {
        Slot<void()>(camera, slot::kDeletingDestructor);
      } else {
        Slot<void()>(camera, slot::kCompleteDestructor);
        ::operator delete(static_cast<void*>(camera));
      }
      if (state == CameraState::kAcquiring) {
        EXPECT_EQ(host_.finishedCount(), finishedBefore + 1)
            << "destroying an acquiring camera must end its sequence";
      }
      EXPECT_FALSE(sim_.is_open(GetParam().simIndex)) << "destruction left the camera open";
      // The camera opens again for a new device.
      MM::Camera* next = devices_.Open(GetParam().name, &host_);
      ASSERT_NE(next, nullptr);
      ExpectStillWorks(next, "new device after destruction");
      devices_.Destroy(next);
    }
  }
}

// Two devices use one camera. Shutting down or destroying the one that does
// not acquire must leave the other's acquisition running: the camera stays
// open for it, and so must its frames keep coming.
TEST_F(ReliabilityTest, ShutdownOfASharingDeviceKeepsTheOthersAcquisitionRunning) {
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "shut down");
    pyxhost::RecordingHost otherHost;
    MM::Camera* acquiring = devices_.Open("PX-120M", &host_);
    MM::Camera* other = devices_.Open("PX-120M", &otherHost);
    ASSERT_NE(acquiring, nullptr);
    ASSERT_NE(other, nullptr);
    MakeFast(acquiring, kPx120M, 2000);
    ASSERT_EQ(StartContinuous(acquiring), 0);
    ASSERT_TRUE(host_.waitForAccepted(2, kHangGuard));
    if (destroy) {
      devices_.Release(other);
      LoadedModule().DeleteDevice(other);
    } else {
      EXPECT_EQ(Shutdown(other), 0);
    }
    EXPECT_TRUE(sim_.is_open(kPx120M));
    EXPECT_TRUE(IsCapturing(acquiring));
    EXPECT_TRUE(host_.waitForAccepted(host_.acceptedCount() + 3, 5s))
        << "frames stopped for the device that still acquires";
    EXPECT_EQ(StopSequence(acquiring), 0);
    std::vector<std::string> problems;
    CheckImages(host_.takeImages(), 0, &problems);
    for (const std::string& problem : problems) ADD_FAILURE() << problem;
    devices_.DestroyAll();
    host_.reset();
  }
}

// Initialised again after a shutdown, a camera offers exactly what it offered
// before: the same properties with the same allowed values and limits.
TEST_F(ReliabilityTest, InitialisedAgainOffersTheSameProperties) {
  for (const char* model : {"PX-FULL", "PX-2600M-COOL"}) {
    SCOPED_TRACE(model);
    MM::Camera* camera = devices_.Open(model, &host_);
    ASSERT_NE(camera, nullptr);
    auto describe = [camera] {
      std::vector<std::string> lines;
      for (const std::string& name : PropertyNames(camera)) {
        std::string line = name + ":";
        for (const std::string& value : AllowedValues(camera, name)) line += " " + value;
        double lower = 0.0;
        double upper = 0.0;
        Slot<int(const char*, double&)>(camera, slot::kLowerLimit, name.c_str(), lower);
        Slot<int(const char*, double&)>(camera, slot::kUpperLimit, name.c_str(), upper);
        lines.push_back(line + " [" + std::to_string(lower) + ", " + std::to_string(upper) + "]");
      }
      return lines;
    };
    const std::vector<std::string> first = describe();
    for (int cycle = 0; cycle < 3; ++cycle) {
      ASSERT_EQ(Shutdown(camera), 0);
      ASSERT_EQ(Initialize(camera), 0);
    }
    EXPECT_EQ(describe(), first);
    ASSERT_EQ(Snap(camera), 0);
    EXPECT_NE(SnappedStamp(camera), 0u);
    devices_.Destroy(camera);
  }
}

// The run step (slot 87) is the sequence thread's, but the host can call it
// through the table too. Called from the host's thread while the sequence
// thread runs its own steps, it must neither disturb nor race that thread.
TEST_F(ReliabilityTest, RunStepFromTheHostWhileTheSequenceRuns) {
  MM::Camera* camera = devices_.Open("PX-120M", &host_);
  ASSERT_NE(camera, nullptr);
  MakeFast(camera, kPx120M, 1000);
  ASSERT_EQ(StartContinuous(camera), 0);
  for (int i = 0; i < 100; ++i) {
    const int result = Slot<int()>(camera, 87);
    EXPECT_TRUE(result == 0 || result == 1 || result == 22) << "run step answered " << result;
  }
  EXPECT_TRUE(IsCapturing(camera));
  const size_t accepted = host_.acceptedCount();
  EXPECT_TRUE(host_.waitForAccepted(accepted + 3, kHangGuard)) << "the sequence stalled";
  EXPECT_EQ(StopSequence(camera), 0);
  // Two threads insert, so the order is theirs; every frame must be intact.
  for (const pyxhost::HostImage& image : host_.takeImages()) {
    EXPECT_EQ(image.byteCount, size_t{image.width} * image.height * image.bytesPerPixel);
    EXPECT_EQ(image.headWord, image.tailWord) << "torn frame";
    EXPECT_NE(image.headWord, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Models, StateWalkTest,
                         ::testing::Values(Model{"PX-120M", kPx120M}, Model{"PX-FULL", kPxFull}),
                         [](const ::testing::TestParamInfo<Model>& model) {
                           return model.param.simIndex == kPx120M ? std::string("Px120M")
                                                                  : std::string("PxFull");
                         });

}  // namespace
}  // namespace reltest
