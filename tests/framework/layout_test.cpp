// The host and the devices call each other by table position: every slot is
// reached here through the raw table, never through its C++ name, and must
// land on the operation its number stands for.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/framework/test_support.h"

using fwtest::FakeHost;
using fwtest::Slot;
using fwtest::TestCamera;

namespace {

std::string Text(const char* buffer) {
  return std::string(buffer);
}

// "Steps" becomes sequenceable (maximum 3) when queried and answers the
// sequence kinds with recognisable codes.
class SequenceAction : public MM::ActionFunctor {
 public:
  int Execute(MM::PropertyBase* property, MM::ActionKind kind) override {
    switch (kind) {
      case MM::QuerySequenceable:
        property->SetSequenceable(3);
        return 0;
      case MM::SequenceLoaded:
        return 104;
      case MM::SequenceStart:
        return 105;
      case MM::SequenceStop:
        return 106;
      default:
        return 0;
    }
  }
};

class DeviceLayout : public ::testing::Test {
 protected:
  void SetUp() override {
    camera.SetCallback(&host);
    camera.CreateStringProperty("Alpha", "a", false);
    camera.CreateStringProperty("Ro", "fixed", true);
    camera.CreateProperty("Pre", "p", MM::String, false, nullptr, true);
    camera.CreateFloatProperty("Gain", 1.5, false);
    camera.SetPropertyLimits("Gain", 0.5, 10.0);
    camera.CreateIntegerProperty("Mode", 0);
    camera.SetAllowedValues("Mode", {"2", "0", "1"});
    camera.CreateIntegerProperty("Steps", 0, new SequenceAction);
  }

  const void* Object() const { return static_cast<const MM::Camera*>(&camera); }

  FakeHost host;
  TestCamera camera;
  char buffer[MM::kMaxHostText] = {};
};

}  // namespace

TEST(DestructorSlots, CompleteAndDeletingDestructorsAreSlotsZeroAndOne) {
  int destroyed = 0;
  alignas(TestCamera) unsigned char storage[sizeof(TestCamera)];
  auto* placed = new (storage) TestCamera(&destroyed);
  Slot<void()>(static_cast<MM::Camera*>(placed), 0);
  EXPECT_EQ(destroyed, 1);

  auto* owned = new TestCamera(&destroyed);
  Slot<void()>(static_cast<MM::Camera*>(owned), 1);  // frees it; ASan reports a leak otherwise
  EXPECT_EQ(destroyed, 2);
}

TEST_F(DeviceLayout, PropertySlotsTwoToFourteen) {
  EXPECT_EQ(Slot<unsigned()>(Object(), 2), 4u + 6u);
  EXPECT_EQ(Slot<int(const char*, char*)>(Object(), 3, "Alpha", buffer), 0);
  EXPECT_EQ(Text(buffer), "a");
  EXPECT_EQ(Slot<int(const char*, const char*)>(Object(), 4, "Alpha", "b"), 0);
  std::string value;
  camera.GetPropertyValue("Alpha", value);
  EXPECT_EQ(value, "b");
  EXPECT_TRUE(Slot<bool(const char*)>(Object(), 5, "Alpha"));
  EXPECT_FALSE(Slot<bool(const char*)>(Object(), 5, "Nope"));
  EXPECT_TRUE(Slot<bool(unsigned, char*)>(Object(), 6, 1u, buffer));
  EXPECT_EQ(Text(buffer), "Gain");

  bool flag = false;
  EXPECT_EQ(Slot<int(const char*, bool&)>(Object(), 7, "Ro", flag), 0);
  EXPECT_TRUE(flag);
  flag = false;
  EXPECT_EQ(Slot<int(const char*, bool&)>(Object(), 8, "Pre", flag), 0);
  EXPECT_TRUE(flag);
  flag = false;
  EXPECT_EQ(Slot<int(const char*, bool&)>(Object(), 9, "Gain", flag), 0);
  EXPECT_TRUE(flag);
  double limit = 0;
  EXPECT_EQ(Slot<int(const char*, double&)>(Object(), 10, "Gain", limit), 0);
  EXPECT_DOUBLE_EQ(limit, 0.5);
  EXPECT_EQ(Slot<int(const char*, double&)>(Object(), 11, "Gain", limit), 0);
  EXPECT_DOUBLE_EQ(limit, 10.0);
  int type = 0;
  EXPECT_EQ(Slot<int(const char*, int&)>(Object(), 12, "Gain", type), 0);
  EXPECT_EQ(type, MM::Float);
  EXPECT_EQ(Slot<unsigned(const char*)>(Object(), 13, "Mode"), 3u);
  EXPECT_TRUE(Slot<bool(const char*, unsigned, char*)>(Object(), 14, "Mode", 2u, buffer));
  EXPECT_EQ(Text(buffer), "2");
}

TEST_F(DeviceLayout, SequenceSlotsFifteenToTwentyOne) {
  bool sequenceable = false;
  EXPECT_EQ(Slot<int(const char*, bool&)>(Object(), 15, "Steps", sequenceable), 0);
  EXPECT_TRUE(sequenceable);
  long maxLength = 0;
  EXPECT_EQ(Slot<int(const char*, long&)>(Object(), 16, "Steps", maxLength), 0);
  EXPECT_EQ(maxLength, 3);
  EXPECT_EQ(Slot<int(const char*)>(Object(), 17, "Steps"), 105);
  EXPECT_EQ(Slot<int(const char*)>(Object(), 18, "Steps"), 106);
  EXPECT_EQ(Slot<int(const char*, const char*)>(Object(), 20, "Steps", "1"), 0);
  EXPECT_EQ(Slot<int(const char*, const char*)>(Object(), 20, "Steps", "2"), 0);
  EXPECT_EQ(Slot<int(const char*, const char*)>(Object(), 20, "Steps", "3"), 0);
  EXPECT_EQ(Slot<int(const char*, const char*)>(Object(), 20, "Steps", "4"), 39);
  EXPECT_EQ(Slot<int(const char*)>(Object(), 19, "Steps"), 0);
  EXPECT_EQ(Slot<int(const char*, const char*)>(Object(), 20, "Steps", "1"), 0);  // list emptied
  EXPECT_EQ(Slot<int(const char*)>(Object(), 21, "Steps"), 104);
}

TEST_F(DeviceLayout, DeviceSlotsTwentyTwoToFortyThree) {
  EXPECT_TRUE(Slot<bool(int, char*)>(Object(), 22, 22, buffer));
  EXPECT_EQ(Text(buffer), "Buffer Overflow.");
  EXPECT_FALSE(Slot<bool()>(Object(), 23));
  Slot<void(double)>(Object(), 25, 2.5);
  EXPECT_DOUBLE_EQ(Slot<double()>(Object(), 24), 2.5);
  EXPECT_FALSE(Slot<bool()>(Object(), 26));
  int marker = 0;
  Slot<void(void*)>(Object(), 28, static_cast<void*>(&marker));
  EXPECT_EQ(Slot<void*()>(Object(), 27), &marker);

  const std::pair<int, const char*> texts[] = {{29, "Label1"}, {31, "Module1"}, {33, "Desc1"}};
  for (const auto& text : texts) Slot<void(const char*)>(Object(), text.first, text.second);
  for (const auto& text : texts) {
    std::memset(buffer, 'x', sizeof buffer);
    Slot<void(char*)>(Object(), text.first + 1, buffer);
    EXPECT_EQ(Text(buffer), text.second) << "slot " << text.first + 1;
  }

  EXPECT_EQ(Slot<int()>(Object(), 35), 7035);
  EXPECT_EQ(Slot<int()>(Object(), 36), 7036);
  EXPECT_EQ(Slot<int()>(Object(), 37), 2);
  Slot<void(char*)>(Object(), 38, buffer);
  EXPECT_EQ(Text(buffer), "TestDevice");
  FakeHost other;
  Slot<void(HostCallback*)>(Object(), 39, static_cast<HostCallback*>(&other));
  EXPECT_EQ(camera.GetCallback(), &other);
  EXPECT_EQ(Slot<int()>(Object(), 40), 0);
  EXPECT_EQ(Slot<int()>(Object(), 41), -2);
  Slot<void(const char*)>(Object(), 42, "Hub7");
  Slot<void(char*)>(Object(), 43, buffer);
  EXPECT_EQ(Text(buffer), "Hub7");
}

TEST_F(DeviceLayout, CameraSlotsFortyFourToSixtyNine) {
  EXPECT_EQ(Slot<int()>(Object(), 44), 0);
  EXPECT_EQ(camera.Snaps(), 1);
  EXPECT_EQ(Slot<const unsigned char*()>(Object(), 45), camera.Pixels());
  EXPECT_EQ(Slot<const unsigned char*(unsigned)>(Object(), 46, 0u), camera.Pixels());
  EXPECT_EQ(Slot<const unsigned int*()>(Object(), 47), nullptr);
  EXPECT_EQ(Slot<unsigned()>(Object(), 48), 1u);
  EXPECT_EQ(Slot<int(unsigned, char*)>(Object(), 49, 0u, buffer), 0);
  EXPECT_EQ(Text(buffer), "Grayscale");
  EXPECT_EQ(Slot<int(unsigned, char*)>(Object(), 49, 1u, buffer), 23);
  EXPECT_EQ(Slot<int()>(Object(), 50), 1);
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(Slot<int(unsigned, char*)>(Object(), 51, 5u, buffer), 0);
  EXPECT_EQ(Text(buffer), "");
  EXPECT_EQ(Slot<long()>(Object(), 52), 48);
  EXPECT_EQ(Slot<unsigned()>(Object(), 53), 8u);
  EXPECT_EQ(Slot<unsigned()>(Object(), 54), 3u);
  EXPECT_EQ(Slot<unsigned()>(Object(), 55), 2u);
  EXPECT_EQ(Slot<unsigned()>(Object(), 56), 12u);
  EXPECT_DOUBLE_EQ(Slot<double()>(Object(), 57), 3.45);
  EXPECT_EQ(Slot<int()>(Object(), 58), 4);
  EXPECT_EQ(Slot<int(int)>(Object(), 59, 2), 0);
  EXPECT_EQ(camera.GetBinning(), 2);
  Slot<void(double)>(Object(), 60, 42.0);
  EXPECT_DOUBLE_EQ(Slot<double()>(Object(), 61), 42.0);
  EXPECT_EQ(Slot<int(unsigned, unsigned, unsigned, unsigned)>(Object(), 62, 1u, 2u, 3u, 4u), 0);
  unsigned x = 0, y = 0, w = 0, h = 0;
  EXPECT_EQ((Slot<int(unsigned&, unsigned&, unsigned&, unsigned&)>(Object(), 63, x, y, w, h)), 0);
  EXPECT_EQ(std::vector<unsigned>({x, y, w, h}), std::vector<unsigned>({1, 2, 3, 4}));
  EXPECT_EQ(Slot<int()>(Object(), 64), 0);
  camera.GetROI(x, y, w, h);
  EXPECT_EQ(w, TestCamera::kWidth);
  EXPECT_FALSE(Slot<bool()>(Object(), 65));
  EXPECT_FALSE(Slot<bool()>(Object(), 66));
  unsigned count = 0;
  unsigned values[1] = {};
  EXPECT_EQ(Slot<int(unsigned&)>(Object(), 67, count), 11);
  EXPECT_EQ(
      (Slot<int(const unsigned*, const unsigned*, const unsigned*, const unsigned*, unsigned)>(
          Object(), 68, values, values, values, values, 1u)),
      11);
  EXPECT_EQ((Slot<int(unsigned*, unsigned*, unsigned*, unsigned*, unsigned*)>(
                Object(), 69, values, values, values, values, &count)),
            11);
}

TEST_F(DeviceLayout, AcquisitionSlotsSeventyToSeventyFourAndEightySevenToNinetyFour) {
  EXPECT_DOUBLE_EQ(Slot<double()>(Object(), 89), 100.0);
  EXPECT_EQ(Slot<long()>(Object(), 90), 0);
  EXPECT_EQ(Slot<long()>(Object(), 91), 1);

  EXPECT_EQ((Slot<int(long, double, bool)>(Object(), 70, 3L, 5.0, false)), 0);
  ASSERT_TRUE(host.WaitFinished(1));
  EXPECT_EQ(Slot<int()>(Object(), 72), 0);  // reaps the finished thread
  EXPECT_EQ(host.InsertCount(), 3u);
  EXPECT_DOUBLE_EQ(Slot<double()>(Object(), 89), 5.0);
  EXPECT_EQ(Slot<long()>(Object(), 90), 3);
  EXPECT_EQ(Slot<long()>(Object(), 91), 3);

  camera.SetSnapHook([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
  });
  Slot<void(bool)>(Object(), 94, true);
  EXPECT_EQ(Slot<int(double)>(Object(), 71, 7.0), 0);
  EXPECT_TRUE(Slot<bool()>(Object(), 74));
  EXPECT_EQ(Slot<long()>(Object(), 91), LONG_MAX);
  EXPECT_FALSE(Slot<bool()>(Object(), 93));  // continuous start stores false
  EXPECT_EQ(Slot<int()>(Object(), 72), 0);
  EXPECT_FALSE(Slot<bool()>(Object(), 74));
  EXPECT_EQ(host.Finished(), 2);
  EXPECT_EQ(Slot<int()>(Object(), 73), 0);

  host.ClearEvents();
  int snapsBefore = camera.Snaps();
  EXPECT_EQ(Slot<int()>(Object(), 88), 0);
  EXPECT_EQ(camera.Snaps(), snapsBefore);
  EXPECT_EQ(host.InsertCount(), 1u);
  EXPECT_EQ(Slot<int()>(Object(), 87), 0);
  EXPECT_EQ(camera.Snaps(), snapsBefore + 1);
  EXPECT_EQ(host.InsertCount(), 2u);

  Slot<void()>(Object(), 92);
  EXPECT_EQ(host.Events(), (std::vector<std::string>{"insert", "insert",
                                                     "log:Sequence thread exiting", "finished:0"}));
  Slot<void(bool)>(Object(), 94, true);
  EXPECT_TRUE(Slot<bool()>(Object(), 93));
  Slot<void(bool)>(Object(), 94, false);
  EXPECT_FALSE(Slot<bool()>(Object(), 93));
}

TEST_F(DeviceLayout, TagAndReportSlotsSeventyFiveToEightySix) {
  Slot<void(const char*, const char*, const char*)>(Object(), 76, "Exposure", "Cam1", "10");
  Slot<void(const char*, const char*, const char*)>(Object(), 76, "Gain", "_", "2");
  Slot<void(char*)>(Object(), 75, buffer);
  EXPECT_EQ(Text(buffer), "2\ns\nExposure\nCam1\n1\n10\ns\nGain\n_\n1\n2\n");
  EXPECT_EQ(Slot<std::vector<std::string>()>(Object(), 85),
            (std::vector<std::string>{"Cam1-Exposure", "Gain"}));
  EXPECT_EQ(Slot<std::string(const char*)>(Object(), 86, "Gain"), "2");
  Slot<void(const char*)>(Object(), 77, "Gain");
  EXPECT_EQ(Slot<std::vector<std::string>()>(Object(), 85),
            (std::vector<std::string>{"Cam1-Exposure"}));

  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(Slot<int(char*)>(Object(), 78, buffer), 0);
  EXPECT_EQ(Text(buffer), "");

  bool flag = false;
  long length = 0;
  EXPECT_EQ(Slot<int(bool&)>(Object(), 79, flag), 11);
  EXPECT_EQ(Slot<int(long&)>(Object(), 80, length), 11);
  for (int slot = 81; slot <= 83; ++slot) EXPECT_EQ(Slot<int()>(Object(), slot), 11) << slot;
  EXPECT_EQ(Slot<int(double)>(Object(), 84, 1.0), 11);
}

// ---- the host's callback object ---------------------------------------------

TEST(HostCallbackLayout, EachPositionReachesItsOperation) {
  FakeHost host;
  TestCamera camera;
  const MM::Device* device = &camera;
  const void* object = static_cast<const HostCallback*>(&host);
  const unsigned char pixels[4] = {};

  Slot<int(const MM::Device*, const char*, bool)>(object, 2, device, "hello", false);
  Slot<int(const MM::Device*, const char*, const char*)>(object, 15, device, "Gain", "2.0000");
  Slot<int(const MM::Device*, double)>(object, 18, device, 1.5);
  Slot<int(const MM::Device*, int)>(object, 23, device, 0);
  host.SetPrepareResult(9);
  EXPECT_EQ((Slot<int(const MM::Device*)>(object, 24, device)), 9);
  host.ScriptInsertResults({22});
  EXPECT_EQ((Slot<int(const MM::Device*, const unsigned char*, unsigned, unsigned, unsigned,
                      const char*, bool)>(object, 28, device, pixels, 2u, 2u, 1u, "0\n", true)),
            22);
  Slot<void(const MM::Device*)>(object, 29, device);

  EXPECT_EQ(host.Events(),
            (std::vector<std::string>{"log:hello", "prop:Gain=2.0000", "exposure:1.500000",
                                      "finished:0", "prepare", "insert", "clear"}));
}

// ---- properties and actions ----------------------------------------------------

namespace {

class KindRecorder : public MM::ActionFunctor {
 public:
  explicit KindRecorder(std::vector<int>* kinds) : kinds_(kinds) {}
  int Execute(MM::PropertyBase*, MM::ActionKind kind) override {
    kinds_->push_back(kind);
    return 40 + kind;
  }

 private:
  std::vector<int>* kinds_;
};

}  // namespace

TEST(ActionLayout, ExecuteIsSlotTwo) {
  std::vector<int> kinds;
  KindRecorder action(&kinds);
  MM::IntegerProperty property("P");
  const void* object = static_cast<const MM::ActionFunctor*>(&action);
  EXPECT_EQ((Slot<int(MM::PropertyBase*, MM::ActionKind)>(object, 2, &property, MM::AfterWrite)),
            42);
  EXPECT_EQ(kinds, std::vector<int>{MM::AfterWrite});
}

TEST(PropertyLayout, SlotsTwoToNineteenOfEachType) {
  MM::FloatProperty floating("F");
  MM::IntegerProperty integer("I");
  MM::StringProperty text("S");
  auto object = [](MM::PropertyBase& property) -> const void* { return &property; };

  EXPECT_EQ(Slot<MM::PropertyType()>(object(text), 2), MM::String);
  EXPECT_EQ(Slot<MM::PropertyType()>(object(floating), 2), MM::Float);
  EXPECT_EQ(Slot<MM::PropertyType()>(object(integer), 2), MM::Integer);

  std::string value;
  double number = 0;
  long whole = 0;
  EXPECT_TRUE(Slot<bool(double)>(object(integer), 3, 2.9));
  EXPECT_TRUE(Slot<bool(long&)>(object(integer), 7, whole));
  EXPECT_EQ(whole, 2);
  EXPECT_TRUE(Slot<bool(long)>(object(floating), 4, 7L));
  EXPECT_TRUE(Slot<bool(double&)>(object(floating), 6, number));
  EXPECT_DOUBLE_EQ(number, 7.0);
  EXPECT_TRUE(Slot<bool(const char*)>(object(text), 5, "hello"));
  EXPECT_TRUE(Slot<bool(std::string&)>(object(text), 8, value));
  EXPECT_EQ(value, "hello");
  EXPECT_TRUE(Slot<bool(std::string&)>(object(floating), 8, value));
  EXPECT_EQ(value, "7.0000");

  EXPECT_TRUE(Slot<bool(double, double)>(object(floating), 12, 1.0, 9.0));
  EXPECT_TRUE(Slot<bool()>(object(floating), 9));
  EXPECT_DOUBLE_EQ(Slot<double()>(object(floating), 10), 1.0);
  EXPECT_DOUBLE_EQ(Slot<double()>(object(floating), 11), 9.0);
  EXPECT_FALSE(Slot<bool(double, double)>(object(text), 12, 1.0, 9.0));

  Slot<void(long)>(object(integer), 13, 2L);
  EXPECT_EQ(Slot<long()>(object(integer), 14), 2);
  EXPECT_EQ(Slot<int(const char*)>(object(integer), 17, "a"), 0);
  EXPECT_EQ(Slot<int(const char*)>(object(integer), 17, "b"), 0);
  EXPECT_EQ(Slot<int(const char*)>(object(integer), 17, "c"), 39);
  EXPECT_EQ(Slot<std::vector<std::string>()>(object(integer), 15),
            (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(Slot<int()>(object(integer), 16), 0);
  EXPECT_TRUE(integer.GetSequence().empty());

  std::vector<int> kinds;
  integer.RegisterAction(new KindRecorder(&kinds));
  EXPECT_EQ(Slot<int()>(object(integer), 18), 40 + MM::SequenceLoaded);
  EXPECT_EQ(Slot<std::string()>(object(integer), 19), "I");
}
