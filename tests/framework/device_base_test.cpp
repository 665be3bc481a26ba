// The device base as the host sees it: properties by name, error texts,
// bounded host buffers and change notification from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/framework/test_support.h"

using fwtest::FakeHost;
using fwtest::TestCamera;

namespace {

// Records the kinds it sees and answers with a configurable result per kind.
class ScriptedAction : public MM::ActionFunctor {
 public:
  std::vector<int> kinds;
  int beforeRead = 0;
  int afterWrite = 0;
  bool throwOnWrite = false;
  long readValue = 0;

  int Execute(MM::PropertyBase* property, MM::ActionKind kind) override {
    kinds.push_back(kind);
    if (kind == MM::BeforeRead) {
      if (beforeRead == 0 && readValue != 0) property->Set(readValue);
      return beforeRead;
    }
    if (kind == MM::AfterWrite) {
      if (throwOnWrite) throw std::runtime_error("handler failed");
      return afterWrite;
    }
    return 0;
  }
};

// Lets the test keep a view of an action that the device owns.
class ActionView : public MM::ActionFunctor {
 public:
  explicit ActionView(ScriptedAction* target) : target_(target) {}
  int Execute(MM::PropertyBase* property, MM::ActionKind kind) override {
    return target_->Execute(property, kind);
  }

 private:
  ScriptedAction* target_;
};

class DeviceBaseTest : public ::testing::Test {
 protected:
  void SetUp() override { camera.SetCallback(&host); }

  std::string ErrorText(int code, bool* found = nullptr) {
    char text[MM::kMaxHostText];
    bool known = camera.GetErrorText(code, text);
    if (found) *found = known;
    return text;
  }

  std::string Value(const char* name) {
    char text[MM::kMaxHostText] = {};
    EXPECT_EQ(camera.GetProperty(name, text), 0);
    return text;
  }

  FakeHost host;
  TestCamera camera;
};

}  // namespace

TEST_F(DeviceBaseTest, ReadOnlySetIsAcceptedButChangesNothing) {
  ScriptedAction action;
  camera.CreateProperty("Ro", "fixed", MM::String, true, new ActionView(&action));
  EXPECT_EQ(camera.SetProperty("Ro", "changed"), 0);
  EXPECT_EQ(Value("Ro"), "fixed");
  EXPECT_EQ(action.kinds, std::vector<int>{MM::BeforeRead});  // the read only
}

TEST_F(DeviceBaseTest, RejectedValueNamesThePropertyOnce) {
  camera.CreateIntegerProperty("Flag", 0);
  camera.SetAllowedValues("Flag", {"0", "1"});
  EXPECT_EQ(camera.SetProperty("Flag", "abc"), 3);
  EXPECT_EQ(ErrorText(3), "Invalid property value: Flag");
  EXPECT_EQ(ErrorText(3), "Invalid property value: ");
  EXPECT_EQ(Value("Flag"), "0");

  char text[MM::kMaxHostText];
  EXPECT_EQ(camera.GetProperty("Nope", text), 2);
  EXPECT_EQ(ErrorText(2), "Invalid property name encountered: Nope");
  bool readOnly = false;
  EXPECT_EQ(camera.GetPropertyReadOnly("Gone", readOnly), 2);
  EXPECT_EQ(ErrorText(22), "Buffer Overflow.");  // no name, but the name is consumed
  EXPECT_EQ(ErrorText(2), "Invalid property name encountered: ");
}

TEST_F(DeviceBaseTest, UnknownCodesGiveDecimalAndHexAndKeepTheName) {
  camera.SetProperty("Nope", "1");
  bool found = true;
  EXPECT_EQ(ErrorText(-2147483638, &found), "Error code -2147483638 (8000000a hex)");
  EXPECT_FALSE(found);
  EXPECT_EQ(ErrorText(25, &found), "Error code 25 (19 hex)");
  EXPECT_EQ(ErrorText(-1), "Error code -1 (ffffffff hex)");
  EXPECT_EQ(ErrorText(2, &found), "Invalid property name encountered: Nope");
  EXPECT_TRUE(found);
  EXPECT_EQ(ErrorText(30),
            "Camera is busy acquiring images.  Stop camera activity before "
            "changing this property");
  camera.SetErrorText(1001, "Vendor says no");
  EXPECT_EQ(ErrorText(1001), "Vendor says no");
}

TEST_F(DeviceBaseTest, HandlerResultsPassThroughAndNoExceptionEscapes) {
  ScriptedAction action;
  camera.CreateProperty("Exposure", "1", MM::Float, false, new ActionView(&action));
  EXPECT_TRUE(action.kinds.empty());  // the initial value reaches no handler
  action.afterWrite = 30;
  EXPECT_EQ(camera.SetProperty("Exposure", "2"), 30);
  action.afterWrite = 0;
  EXPECT_EQ(Value("Exposure"), "2.0000");  // stored although the handler failed

  action.beforeRead = 35;
  char text[MM::kMaxHostText] = "untouched";
  EXPECT_EQ(camera.GetProperty("Exposure", text), 35);
  EXPECT_STREQ(text, "untouched");
  action.beforeRead = 0;

  action.throwOnWrite = true;
  EXPECT_EQ(camera.SetProperty("Exposure", "3"), 1);
  EXPECT_EQ(ErrorText(1), "Unknown error in the device");
}

TEST_F(DeviceBaseTest, CreationRefusesDuplicatesAndUnknownTypesWithoutLeaking) {
  int deleted = 0;
  struct Counting : MM::ActionFunctor {
    int* deleted;
    explicit Counting(int* counter) : deleted(counter) {}
    ~Counting() override { ++*deleted; }
    int Execute(MM::PropertyBase*, MM::ActionKind) override { return 0; }
  };
  EXPECT_EQ(camera.CreateStringProperty("Name", "first", false), 0);
  EXPECT_EQ(camera.CreateStringProperty("Name", "second", false, new Counting(&deleted)), 4);
  EXPECT_EQ(camera.CreateProperty("Odd", "x", static_cast<MM::PropertyType>(7), false,
                                  new Counting(&deleted)),
            5);
  EXPECT_EQ(deleted, 2);
  EXPECT_EQ(Value("Name"), "first");
  EXPECT_FALSE(camera.HasProperty("Odd"));
  EXPECT_EQ(camera.CreateFloatProperty("Small", 0.00001, false), 0);
  EXPECT_EQ(Value("Small"), "0.0000");
  EXPECT_EQ(camera.CreateFloatProperty("Precise", 0.123456, false), 0);
  EXPECT_EQ(Value("Precise"), "0.1235");
}

TEST_F(DeviceBaseTest, IndexQueriesStopAtTheCount) {
  camera.CreateStringProperty("Mode", "a", false);
  camera.SetAllowedValues("Mode", {"b", "a"});
  const unsigned count = camera.GetNumberOfProperties();
  EXPECT_EQ(count, 5u);  // four transpose properties
  char text[MM::kMaxHostText];
  EXPECT_TRUE(camera.GetPropertyName(0, text));
  EXPECT_STREQ(text, "Mode");
  EXPECT_TRUE(camera.GetPropertyName(count - 1, text));
  EXPECT_STREQ(text, "TransposeXY");
  EXPECT_FALSE(camera.GetPropertyName(count, text));
  EXPECT_TRUE(camera.GetPropertyValueAt("Mode", 1, text));
  EXPECT_STREQ(text, "b");
  EXPECT_FALSE(camera.GetPropertyValueAt("Mode", 2, text));
  EXPECT_FALSE(camera.GetPropertyValueAt("Nope", 0, text));
  EXPECT_EQ(camera.GetNumberOfPropertyValues("Nope"), 0u);
  EXPECT_EQ(camera.GetNumberOfPropertyValues("TransposeXY"), 2u);
}

TEST_F(DeviceBaseTest, HostBuffersHoldAtMost1023Characters) {
  std::vector<char> buffer(MM::kMaxHostText + 64, 'Z');
  const std::string longLabel(2000, 'L');
  camera.SetLabel(longLabel.c_str());
  camera.GetLabel(buffer.data());
  EXPECT_EQ(std::string(buffer.data()), longLabel.substr(0, 1023));
  for (size_t i = MM::kMaxHostText; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 'Z') << i;

  const std::string exact(1023, 'E');
  camera.SetLabel(exact.c_str());
  camera.GetLabel(buffer.data());
  EXPECT_EQ(std::string(buffer.data()), exact);

  camera.CreateStringProperty("Long", longLabel.c_str(), false);
  std::fill(buffer.begin(), buffer.end(), 'Z');
  EXPECT_EQ(camera.GetProperty("Long", buffer.data()), 0);
  EXPECT_EQ(std::strlen(buffer.data()), 1023u);
  EXPECT_EQ(buffer[MM::kMaxHostText], 'Z');

  EXPECT_TRUE(CopyToHostBuffer(buffer.data(), exact));
  EXPECT_FALSE(CopyToHostBuffer(buffer.data(), exact + "x"));
  EXPECT_FALSE(CopyToHostBuffer(nullptr, "x"));
}

TEST_F(DeviceBaseTest, TagsSlotIsBoundedLikeEveryOtherText) {
  camera.AddTag("Big", "_", std::string(3000, 'v').c_str());
  std::vector<char> buffer(MM::kMaxHostText + 64, 'Z');
  camera.GetTags(buffer.data());
  EXPECT_EQ(std::strlen(buffer.data()), 1023u);
  EXPECT_EQ(std::string(buffer.data(), 10), "1\ns\nBig\n_\n");
  for (size_t i = MM::kMaxHostText; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 'Z') << i;
}

TEST_F(DeviceBaseTest, InvalidLimitsAreLoggedAndRefused) {
  camera.CreateIntegerProperty("Count", 1);
  EXPECT_EQ(camera.SetPropertyLimits("Count", 5, 5), 24);
  EXPECT_EQ(host.Events(), std::vector<std::string>{
                               "log:Device adapter requests invalid values ( 5, 5) for property: "
                               "Count"});
  camera.CreateFloatProperty("Gain", 1.0, false);
  host.ClearEvents();
  EXPECT_EQ(camera.SetPropertyLimits("Gain", 2.0000004, 0.1234567), 24);
  EXPECT_EQ(host.Events(), std::vector<std::string>{
                               "log:Device adapter requests invalid values ( 2, 0.123457) for "
                               "property: Gain"});
  EXPECT_EQ(camera.SetPropertyLimits("Missing", 0, 1), 2);
  EXPECT_EQ(ErrorText(2), "Invalid property name encountered: Missing");
  EXPECT_EQ(camera.SetPropertyLimits("Gain", 0.5, 8), 0);
  double upper = 0;
  EXPECT_EQ(camera.GetPropertyUpperLimit("Gain", upper), 0);
  EXPECT_EQ(upper, 8.0);
  EXPECT_EQ(camera.SetProperty("Gain", "9"), 3);
}

TEST_F(DeviceBaseTest, PropertiesOfThisDeviceAreNotSequenceable) {
  camera.CreateFloatProperty("Gain", 1.0, false);
  bool sequenceable = true;
  EXPECT_EQ(camera.IsPropertySequenceable("Gain", sequenceable), 0);
  EXPECT_FALSE(sequenceable);
  long maxLength = 0;
  EXPECT_EQ(camera.GetPropertySequenceMaxLength("Gain", maxLength), 38);
  EXPECT_EQ(camera.StartPropertySequence("Gain"), 38);
  EXPECT_EQ(camera.StopPropertySequence("Gain"), 38);
  EXPECT_EQ(camera.ClearPropertySequence("Gain"), 38);
  EXPECT_EQ(camera.AddToPropertySequence("Gain", "1"), 38);
  EXPECT_EQ(camera.SendPropertySequence("Gain"), 38);
  EXPECT_EQ(ErrorText(38), "This property is not sequenceable");
  EXPECT_EQ(camera.AddToPropertySequence("Nope", "1"), 2);
  EXPECT_EQ(ErrorText(2), "Invalid property name encountered: Nope");
}

TEST_F(DeviceBaseTest, RefreshAllWalksInNameOrderAndStopsAtTheFirstFailure) {
  ScriptedAction first, failing, last;
  failing.beforeRead = 12;
  camera.CreateStringProperty("A", "", false, new ActionView(&first));
  camera.CreateStringProperty("B", "", false, new ActionView(&failing));
  camera.CreateStringProperty("C", "", false, new ActionView(&last));
  EXPECT_EQ(camera.RefreshAllProperties(), 12);
  EXPECT_EQ(first.kinds.size(), 1u);
  EXPECT_TRUE(last.kinds.empty());
  EXPECT_EQ(camera.RefreshProperty("C"), 0);
  EXPECT_EQ(camera.RefreshProperty("D"), 2);
}

TEST_F(DeviceBaseTest, ChangeNotificationReadsTwiceAndReportsTheText) {
  ScriptedAction action;
  action.readValue = 77;
  camera.CreateIntegerProperty("Temp", 0, new ActionView(&action));
  EXPECT_EQ(camera.OnPropertyChanged("Temp"), 0);
  EXPECT_EQ(action.kinds, (std::vector<int>{MM::BeforeRead, MM::BeforeRead}));
  EXPECT_EQ(host.Events(), std::vector<std::string>{"prop:Temp=77"});
  EXPECT_EQ(camera.OnPropertyChanged("Nope"), 2);
  EXPECT_EQ(host.Events().size(), 1u);
}

TEST_F(DeviceBaseTest, ParentIdentifierIsBoundedAndFeedsHubId) {
  const std::string longId(1500, 'h');
  camera.SetParentID(longId.c_str());
  char text[MM::kMaxHostText];
  camera.GetParentID(text);
  EXPECT_EQ(std::string(text), longId.substr(0, 1023));

  camera.CreateStringProperty("HubID", "", false);
  camera.SetAllowedValues("HubID", {"Hub1"});
  camera.SetParentID("Hub1");
  EXPECT_EQ(Value("HubID"), "Hub1");
  camera.SetParentID("Other");
  EXPECT_EQ(ErrorText(3), "Invalid property value: HubID");
}

// The vendor's event thread notifies while the host reads, writes and asks
// for error texts: the map, the values and the recorded name stay
// consistent (ThreadSanitizer checks the rest).
TEST_F(DeviceBaseTest, NotifyFromAnotherThreadWhileTheHostWorks) {
  camera.CreateIntegerProperty("Counter", 0);
  camera.SetPropertyLimits("Counter", 0, 1000000);
  std::atomic<bool> done{false};
  std::thread events([&] {
    while (!done.load()) camera.OnPropertyChanged("Counter");
  });
  char text[MM::kMaxHostText];
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(camera.SetProperty("Counter", std::to_string(i).c_str()), 0);
    ASSERT_EQ(camera.GetProperty("Counter", text), 0);
    ASSERT_EQ(camera.SetProperty("Counter", "-1"), 3);
    camera.GetErrorText(3, text);
    const std::string message = text;
    ASSERT_TRUE(message == "Invalid property value: Counter" ||
                message == "Invalid property value: ")
        << message;
    camera.SetLabel(("Cam" + std::to_string(i)).c_str());
  }
  done.store(true);
  events.join();
  EXPECT_EQ(Value("Counter"), "1999");
}
