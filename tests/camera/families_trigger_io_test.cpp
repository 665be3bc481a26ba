// Trigger and I/O properties: the I/O command codes and lines each property
// addresses, the GPIO direction rules, the trigger source's part in starting
// and stopping a sequence, and the frame statistics text.
#include "tests/camera/families_support.h"

namespace camtest {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

class TriggerIoTest : public CameraFixture {
 protected:
  std::vector<std::string> IoCalls() const { return Rendered(sim_, {109}); }
};

TEST_F(TriggerIoTest, PerLineSettingsAddressTheSelectedLine) {
  MM::Camera* camera = Open("PX-2600M-COOL");
  ASSERT_NE(camera, nullptr);

  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "IO:Line Select", "GPIO0"), 0);
  // The settings of the new line are read again, global ones on line 0.
  EXPECT_THAT(IoCalls(), ElementsAre("109(2,1,0)", "109(2,3,0)",  // GPIO mode
                                     "109(2,9,0)",                // input activation
                                     "109(2,11,0)",               // debouncer
                                     "109(2,15,0)",               // trigger delay
                                     "109(2,7,0)",                // output inverter
                                     "109(2,31,0)",               // output mode
                                     "109(0,33,0)", "109(0,35,0)", "109(0,37,0)",  // strobe
                                     "109(0,39,0)"));                              // user value

  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "IO:Input Activation", "Falling edge"), 0);
  ASSERT_EQ(Set(camera, "IO:Output Inverter", "No"), 0);
  ASSERT_EQ(Set(camera, "IO:Debouncer Time", "150"), 0);
  ASSERT_EQ(Set(camera, "IO:Trigger Delay", "1000"), 0);
  ASSERT_EQ(Set(camera, "IO:Counter Source", "GPIO1"), 0);
  ASSERT_EQ(Set(camera, "IO:PWM Source", "GPIO0"), 0);
  ASSERT_EQ(Set(camera, "IO:Output Mode", "Strobe"), 0);
  EXPECT_THAT(IoCalls(), ElementsAre("109(2,10,1)", "109(2,8,1)", "109(2,12,150)", "109(2,16,1000)",
                                     "109(2,20,2)", "109(2,30,1)", "109(2,32,2)"));
  EXPECT_EQ(sim_.state(kPx2600M, "line2.activation"), 1);
  EXPECT_EQ(sim_.state(kPx2600M, "line0.activation"), 0);

  // Back on line 0 the per-line values are line 0's again.
  ASSERT_EQ(Set(camera, "IO:Line Select", "Isolated input"), 0);
  EXPECT_EQ(Get(camera, "IO:Input Activation"), "Rising edge");
  EXPECT_EQ(Get(camera, "IO:Debouncer Time"), "0");
  EXPECT_EQ(Get(camera, "IO:Counter Source"), "Isolated input");
}

TEST_F(TriggerIoTest, GlobalSettingsUseLineZero) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Set(camera, "IO:Line Select", "GPIO1"), 0);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "IO:Strobe Delay Mode", "delay"), 0);
  ASSERT_EQ(Set(camera, "IO:Strobe Delay Time", "40"), 0);
  ASSERT_EQ(Set(camera, "IO:Strobe Duration", "50"), 0);
  ASSERT_EQ(Set(camera, "IO:User Value", "60"), 0);
  ASSERT_EQ(Set(camera, "IO:Counter Value", "70"), 0);
  ASSERT_EQ(Set(camera, "IO:Counter Reset", "Reset"), 0);
  ASSERT_EQ(Set(camera, "IO:Trigger Source", "Counter"), 0);
  EXPECT_THAT(IoCalls(), ElementsAre("109(0,34,1)", "109(0,36,40)", "109(0,38,50)", "109(0,40,60)",
                                     "109(0,22,70)", "109(0,24,0)", "109(0,14,3)"));
  EXPECT_EQ(Get(camera, "IO:Counter Value"), "70");
  EXPECT_EQ(Get(camera, "IO:Trigger Source"), "Counter");
  EXPECT_EQ(Get(camera, "IO:Counter Reset"), "Reset");
  EXPECT_EQ(Set(camera, "IO:Counter Value", "0"), 3);
}

TEST_F(TriggerIoTest, GpioModeChangesOnlyLinesThatCanGoBothWays) {
  MM::Camera* camera = Open("PX-2600M-COOL");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(Get(camera, "IO:GPIO Mode"), "Input");

  // Line 0 is input only: the direction stays, silently.
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "IO:GPIO Mode", "Output"), 0);
  EXPECT_THAT(IoCalls(), ElementsAre("109(0,1,0)"));
  EXPECT_EQ(Get(camera, "IO:GPIO Mode"), "Input");

  // The output line shows "Output" without asking for a direction.
  ASSERT_EQ(Set(camera, "IO:Line Select", "Isolated output"), 0);
  sim_.trace_clear();
  EXPECT_EQ(Get(camera, "IO:GPIO Mode"), "Output");
  EXPECT_THAT(IoCalls(), ElementsAre("109(1,1,0)"));

  ASSERT_EQ(Set(camera, "IO:Line Select", "GPIO1"), 0);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "IO:GPIO Mode", "Output"), 0);
  EXPECT_THAT(IoCalls(), ElementsAre("109(3,1,0)", "109(3,4,1)"));
  EXPECT_EQ(Get(camera, "IO:GPIO Mode"), "Output");
  EXPECT_EQ(sim_.state(kPx2600M, "line3.direction"), 1);

  // A failed capability query leaves 0: shown as "Output", and no direction
  // is written after it.
  sim_.fail_position(109, -1, 1);
  EXPECT_EQ(Get(camera, "IO:GPIO Mode"), "Output");
  sim_.fail_position(109, -1, 1);
  ASSERT_EQ(Set(camera, "IO:GPIO Mode", "Input"), 0);
  EXPECT_EQ(sim_.state(kPx2600M, "line3.direction"), 1);
  ASSERT_EQ(Set(camera, "IO:GPIO Mode", "Input"), 0);
  EXPECT_EQ(sim_.state(kPx2600M, "line3.direction"), 0);
}

TEST_F(TriggerIoTest, ThreeLinesOfferNoSecondGpio) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(Set(camera, "IO:Line Select", "GPIO1"), 3);
  EXPECT_EQ(Set(camera, "IO:Line Select", "GPIO0"), 0);
}

TEST_F(TriggerIoTest, CreationReadsOfLineZeroAreClampedIntoTheirLists) {
  sim_.set_state(kPxFull, "line0.capabilities", 3);
  sim_.set_state(kPxFull, "line0.outputmode", 9);
  sim_.set_state(kPxFull, "line0.pwmsource", -1);
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  // The creation value stands: the refresh reads show nothing outside a list.
  EXPECT_EQ(Get(camera, "IO:Output Mode"), "Timer Output");
  EXPECT_EQ(Get(camera, "IO:PWM Source"), "Isolated input");
}

TEST_F(TriggerIoTest, ListReadsOutsideTheListLeaveTheValue) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Set(camera, "IO:Line Select", "GPIO0"), 0);
  ASSERT_EQ(Set(camera, "IO:Input Activation", "Low level"), 0);
  sim_.set_state(kPxFull, "line2.activation", 4);
  EXPECT_EQ(Get(camera, "IO:Input Activation"), "Low level");
  sim_.set_state(kPxFull, "line2.activation", -3);
  EXPECT_EQ(Get(camera, "IO:Input Activation"), "Low level");
  ASSERT_EQ(Set(camera, "IO:Trigger Source", "PWM"), 0);
  sim_.set_state(kPxFull, "triggersource", 6);
  EXPECT_EQ(Get(camera, "IO:Trigger Source"), "PWM");
}

TEST_F(TriggerIoTest, HardwareSourceKeepsTriggeredModeThroughStartAndStop) {
  MM::Camera* camera = Open("PX-2600M-COOL");
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "IO:Trigger Source", "GPIO1"), 0);
  EXPECT_THAT(IoCalls(), ElementsAre("109(0,14,2)"));
  EXPECT_THAT(OptionWrites(11), IsEmpty()) << "the source alone does not change the mode";

  sim_.trace_clear();
  ASSERT_EQ(StartSequence(camera), 0);
  EXPECT_THAT(OptionWrites(11), ElementsAre(1));
  EXPECT_THAT(IoCalls(), Contains("109(0,14,2)"));

  // A pulse on the selected source yields a frame for the sequence.
  host_.setCopyPixels(false);
  sim_.hardware_pulse(kPx2600M);
  EXPECT_TRUE(host_.waitForAccepted(1, kHangGuard));

  sim_.trace_clear();
  ASSERT_EQ(StopSequence(camera), 0);
  EXPECT_THAT(OptionWrites(11), IsEmpty());
  EXPECT_EQ(sim_.option(kPx2600M, 11), 1);
}

TEST_F(TriggerIoTest, SoftwareTriggerRunsFreeAndStopRestoresTriggeredMode) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Set(camera, "IO:Trigger Source", "Software Trigger"), 0);
  sim_.trace_clear();
  ASSERT_EQ(StartSequence(camera), 0);
  EXPECT_THAT(OptionWrites(11), ElementsAre(0));
  EXPECT_THAT(IoCalls(), Not(Contains(::testing::StartsWith("109(0,14,"))));
  host_.setCopyPixels(false);
  EXPECT_TRUE(host_.waitForAccepted(2, kHangGuard));
  ASSERT_EQ(StopSequence(camera), 0);
  EXPECT_THAT(OptionWrites(11), ElementsAre(0, 1));
}

TEST_F(TriggerIoTest, CameraWithoutLinesRunsFreeAndHasOnlyTheStatistics) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  for (const std::string& name : pyxhost::Camera(camera).PropertyNames()) {
    EXPECT_NE(name.rfind("IO:", 0), 0u) << name;
  }
  EXPECT_TRUE(Has(camera, "Line Select:"));
  sim_.trace_clear();
  ASSERT_EQ(StartSequence(camera), 0);
  EXPECT_THAT(OptionWrites(11), ElementsAre(0));
  ASSERT_EQ(StopSequence(camera), 0);
  EXPECT_THAT(OptionWrites(11), ElementsAre(0, 1));
  EXPECT_THAT(IoCalls(), IsEmpty());
}

TEST_F(TriggerIoTest, StatisticsTextShowsRateAndTotal) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(Get(camera, "Line Select:"), "0");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Slot<int()>(camera, slot::kSnap), 0);
  // Three frames delivered within the last second: a rate and the total.
  const std::string text = Get(camera, "Line Select:");
  double rate = 0;
  unsigned long total = 0;
  ASSERT_TRUE(ParseStatistics(text, &rate, &total)) << text;
  EXPECT_GT(rate, 0.0) << text;
  EXPECT_EQ(total, 3u);

  sim_.fail_position(169, -1, 1);
  EXPECT_EQ(Get(camera, "Line Select:"), "0") << "a failed read leaves no interval and no count";
}

}  // namespace
}  // namespace camtest
