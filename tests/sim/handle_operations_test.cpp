// Every implemented handle position, called by raw table position, reaches its
// operation: setters change what getters read, ranges are enforced, options
// that a model lacks fail, and each call appears in the trace.
#include "tests/sim/sim_test_support.h"

namespace simtest {
namespace {

using namespace pyxon;

// A pair of int32 positions (setter, getter) and values to try on PX-FULL.
struct IntPair {
  int set;
  int get;
  int32_t good;
  int32_t bad;  // outside the range: refused, value unchanged
};

TEST_F(SimTest, Int32SetterGetterPairsRoundTrip) {
  CameraHandle* h = Open(kFull);
  ASSERT_NE(h, nullptr);
  const IntPair pairs[] = {
      {27, 28, -45, 181},  // hue
      {29, 30, 200, 256},  // saturation
      {31, 32, -20, 256},  // brightness
      {40, 39, 33, -256},  // contrast (getter first in the table)
      {42, 41, 150, 19},   // gamma
      {52, 53, 0, 3},      // power frequency
      {54, 55, 1, 2},      // skip
      {116, 117, 1, 1},    // negative (any non-zero is on)
      {46, 45, 1, 1},      // vertical flip
      {48, 47, 1, 1},      // horizontal flip
      {11, 10, 1, 1},      // auto exposure
  };
  for (const IntPair& p : pairs) {
    SCOPED_TRACE("position " + std::to_string(p.set));
    EXPECT_EQ(CallSlot<int32_t>(h, p.set, p.good), 0);
    int32_t value = 12345;
    EXPECT_EQ(CallSlot<int32_t>(h, p.get, &value), 0);
    EXPECT_EQ(value, p.good);
    if (p.bad != p.good) {
      EXPECT_LT(CallSlot<int32_t>(h, p.set, p.bad), 0);
      CallSlot<int32_t>(h, p.get, &value);
      EXPECT_EQ(value, p.good);
    }
    const auto writes = sim.calls(p.set, kFull);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front().args[0], p.good);
  }
}

TEST_F(SimTest, ExposureGainAndTheirRanges) {
  CameraHandle* h = Open(kCooled2600);
  ASSERT_NE(h, nullptr);
  uint32_t min = 0, max = 0, def = 0;
  ASSERT_EQ(CallSlot<int32_t>(h, 57, &min, &max, &def), 0);
  EXPECT_LT(min, def);
  EXPECT_LT(def, max);
  EXPECT_EQ(CallSlot<int32_t>(h, 34, uint32_t{123456}), 0);
  uint32_t exposure = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 33, &exposure), 0);
  EXPECT_EQ(exposure, 123456u);
  EXPECT_LT(CallSlot<int32_t>(h, 34, min - 1), 0);
  uint32_t real = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 74, &real), 0);
  EXPECT_NEAR(static_cast<double>(real), 123456.0, 20.0);  // whole sensor rows

  uint16_t gmin = 0, gmax = 0, gdef = 0;
  ASSERT_EQ(CallSlot<int32_t>(h, 58, &gmin, &gmax, &gdef), 0);
  EXPECT_EQ(gmin, 100);
  EXPECT_GE(gmax, 3200);
  EXPECT_EQ(CallSlot<int32_t>(h, 36, uint16_t{400}), 0);
  uint16_t gain = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 35, &gain), 0);
  EXPECT_EQ(gain, 400);
  EXPECT_LT(CallSlot<int32_t>(h, 36, uint16_t{99}), 0);

  EXPECT_EQ(CallSlot<int32_t>(h, 13, uint16_t{90}), 0);
  uint16_t target = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 12, &target), 0);
  EXPECT_EQ(target, 90);

  EXPECT_EQ(CallSlot<int32_t>(h, 73, uint32_t{200}, uint16_t{300}), 0);
  uint32_t maxTime = 0;
  uint16_t maxGain = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 130, &maxTime, &maxGain), 0);
  EXPECT_EQ(maxTime, 200u);
  EXPECT_EQ(maxGain, 300);
  EXPECT_EQ(CallSlot<int32_t>(h, 130, &maxTime, static_cast<uint16_t*>(nullptr)), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 130, static_cast<uint32_t*>(nullptr), &maxGain), 0);
}

TEST_F(SimTest, CameraWithoutGainRefusesGainWritesAndSaysSo) {
  CameraHandle* h = Open(kMono120);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(CallSlot<int32_t>(h, 189, "issupportgain"), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 189, "no such name"), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 36, uint16_t{200}), 0);
  uint16_t gain = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 35, &gain), 0);
  EXPECT_EQ(gain, 100);
  // The maxima pair is still accepted; the gain half is ignored.
  EXPECT_EQ(CallSlot<int32_t>(h, 73, uint32_t{200}, uint16_t{500}), 0);
  // Colour-only operations are absent on a monochrome camera.
  int32_t gains[3] = {};
  EXPECT_LT(CallSlot<int32_t>(h, 26, gains), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 14, static_cast<void*>(nullptr), static_cast<void*>(nullptr)), 0);
  EXPECT_LT(Option(h, opt::kColourMode), 0);
  // No frame-rate control: speed levels instead.
  EXPECT_EQ(CallSlot<int32_t>(h, 49, uint16_t{1}), 0);
  uint16_t speed = 9;
  EXPECT_EQ(CallSlot<int32_t>(h, 50, &speed), 0);
  EXPECT_EQ(speed, 1);
  EXPECT_LT(CallSlot<int32_t>(h, 49, uint16_t{3}), 0);
  EXPECT_LT(Option(h, opt::kMaxFrameRate), 0);
  EXPECT_LT(Option(h, opt::kFrameRate), 0);
  int16_t temperature = 0;
  EXPECT_LT(CallSlot<int32_t>(h, 78, &temperature), 0);
  int32_t out = 0;
  EXPECT_LT(CallSlot<int32_t>(h, 109, uint32_t{0}, io::kGetCapabilities, int32_t{0}, &out), 0);
}

TEST_F(SimTest, WhiteBalanceGainsAsATriple) {
  CameraHandle* h = Open(kColour678);
  ASSERT_NE(h, nullptr);
  const int32_t gains[3] = {5, 10, -3};
  EXPECT_EQ(CallSlot<int32_t>(h, 25, gains), 0);
  int32_t read[3] = {};
  EXPECT_EQ(CallSlot<int32_t>(h, 26, read), 0);
  EXPECT_EQ(read[0], 5);
  EXPECT_EQ(read[1], 10);
  EXPECT_EQ(read[2], -3);
  const int32_t tooBig[3] = {0, 128, 0};
  EXPECT_LT(CallSlot<int32_t>(h, 25, tooBig), 0);
  const auto writes = sim.calls(25);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].args[1], 10);  // the trace records the values written
  EXPECT_EQ(writes[0].args[2], -3);
}

TEST_F(SimTest, OptionsRoundTripAndRespectRangesAndAccess) {
  CameraHandle* h = Open(kFull);
  ASSERT_NE(h, nullptr);
  const std::pair<uint32_t, int32_t> writable[] = {{opt::kDenoise, 77},
                                                   {opt::kHdrThreshold, 1234},
                                                   {opt::kCds, 2},
                                                   {opt::kGlobalReset, 1},
                                                   {opt::kLowPower, 1},
                                                   {opt::kReadoutMode, 1},
                                                   {opt::kMechanicalShutter, 1},
                                                   {opt::kAntiShutterEffect, 1},
                                                   {opt::kToneMapping, 2},
                                                   {opt::kConversionGain, 2},
                                                   {opt::kFrameRate, 125},
                                                   {opt::kBandwidth, 40},
                                                   {opt::kLowNoise, 1},
                                                   {opt::kHeater, 3},
                                                   {opt::kAutoExposurePeak, 40},
                                                   {opt::kAutoExposurePolicy, 3},
                                                   {opt::kVoltageBias, 150},
                                                   {opt::kAntiBlooming, 200},
                                                   {opt::kSharpening, 0x20064},
                                                   {opt::kWhiteBalanceInterval, 2000}};
  for (const auto& [id, value] : writable) {
    SCOPED_TRACE("option " + std::to_string(id));
    EXPECT_EQ(CallSlot<int32_t>(h, 93, id, value), 0);
    EXPECT_EQ(Option(h, id), value);
  }
  // Ranges and read-only options.
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kDenoise, int32_t{101}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kHeater, int32_t{4}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kVoltageBias, int32_t{201}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kSharpening, int32_t{0x20000 | 501}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kWhiteBalanceInterval, int32_t{50}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kMaxFrameRate, int32_t{10}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kPowerConsumption, int32_t{10}), 0);
  EXPECT_LT(Option(h, opt::kFactoryReset), 0);  // write-only
  EXPECT_LT(Option(h, 9999), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, uint32_t{9999}, int32_t{0}), 0);

  // Packed read-only ranges of the model.
  const int32_t tecRange = Option(h, opt::kTecTargetRange);
  EXPECT_EQ(static_cast<int16_t>(tecRange & 0xFFFF), -400);
  EXPECT_EQ(static_cast<int16_t>(static_cast<uint32_t>(tecRange) >> 16), 300);
  EXPECT_EQ(Option(h, opt::kVoltageBiasRange), 0x00C80000);
  EXPECT_EQ(Option(h, opt::kAntiBloomingMax), 255);
  EXPECT_GT(Option(h, opt::kPowerConsumption), 0);

  // Packed halves: dead (high) and hot (low) x100; HDR K (high) and B (low).
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kDynamicDefect, int32_t{0x005A0019}), 0);
  EXPECT_EQ(Option(h, opt::kDynamicDefect), 0x005A0019);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kDynamicDefect, int32_t{0x00650000}), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kHdrKB, int32_t{0x012C0020}), 0);
  EXPECT_EQ(Option(h, opt::kHdrKB), 0x012C0020);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kHdrKB, int32_t{0x00000020}), 0);  // K = 0

  // GetOption's trace records the preset of the output variable.
  Option(h, opt::kLane, kLaneCountQuery);
  const auto reads = sim.calls(94, kFull);
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.back().args[0], opt::kLane);
  EXPECT_EQ(reads.back().args[1], kLaneCountQuery);
}

TEST_F(SimTest, LaneOptionAnswersItsThreeReadForms) {
  CameraHandle* h = Open(kFull);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Option(h, opt::kLane, kLaneCountQuery), 3);
  EXPECT_EQ(Option(h, opt::kLane, kLaneValueQuery + 0), 1);
  EXPECT_EQ(Option(h, opt::kLane, kLaneValueQuery + 1), 2);
  EXPECT_EQ(Option(h, opt::kLane, kLaneValueQuery + 2), 4);
  EXPECT_LT(Option(h, opt::kLane, kLaneValueQuery + 3), 0);
  EXPECT_EQ(Option(h, opt::kLane, 0), 2);
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kLane, int32_t{0}), 0);
  EXPECT_EQ(Option(h, opt::kLane, 0), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kLane, int32_t{3}), 0);
  const int32_t single[] = {4};
  EXPECT_EQ(sim.set_lanes(kFull, single, 1, 0), 0);
  EXPECT_EQ(Option(h, opt::kLane, kLaneCountQuery), 1);
}

TEST_F(SimTest, FactoryResetRestoresModelDefaults) {
  CameraHandle* h = Open(kFull);
  ASSERT_NE(h, nullptr);
  uint32_t exposure = 0;
  CallSlot<int32_t>(h, 33, &exposure);
  const int32_t denoise = Option(h, opt::kDenoise);
  CallSlot<int32_t>(h, 34, uint32_t{55555});
  CallSlot<int32_t>(h, 93, opt::kDenoise, int32_t{99});
  CallSlot<int32_t>(h, 93, opt::kBinning, int32_t{0x82});
  CallSlot<int32_t>(h, 196, "AwbOff", int32_t{1});
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kFactoryReset, int32_t{0}), 0);
  uint32_t after = 0;
  CallSlot<int32_t>(h, 33, &after);
  EXPECT_EQ(after, exposure);
  EXPECT_EQ(Option(h, opt::kDenoise), denoise);
  EXPECT_EQ(Option(h, opt::kBinning), 1);
  int32_t awbOff = 7;
  EXPECT_EQ(CallSlot<int32_t>(h, 195, "AwbOff", &awbOff), 0);
  EXPECT_EQ(awbOff, 0);
}

TEST_F(SimTest, NamedValues) {
  CameraHandle* h = Open(kFull);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(CallSlot<int32_t>(h, 189, "issupportgain"), 1);
  EXPECT_EQ(CallSlot<int32_t>(h, 189, "supportbandwidth"), 1);
  EXPECT_EQ(CallSlot<int32_t>(h, 189, "maxCDS"), 3);
  EXPECT_GT(CallSlot<int32_t>(h, 189, "defAntiBlooming"), 0);
  int32_t interval = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 195, "AwbInterval", &interval), 0);
  EXPECT_EQ(interval, 1000);
  EXPECT_EQ(CallSlot<int32_t>(h, 196, "AwbInterval", int32_t{2500}), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 195, "AwbInterval", &interval), 0);
  EXPECT_EQ(interval, 2500);
  EXPECT_LT(CallSlot<int32_t>(h, 196, "AwbInterval", int32_t{50}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 196, "maxCDS", int32_t{9}), 0);  // read-only
  EXPECT_LT(CallSlot<int32_t>(h, 195, "nothing", &interval), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 196, "nothing", int32_t{1}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 189, static_cast<const char*>(nullptr)), 0);
  const auto calls = sim.calls(196, kFull);
  ASSERT_FALSE(calls.empty());
  EXPECT_STREQ(calls.front().text, "AwbInterval");
  EXPECT_EQ(calls.front().args[0], 2500);
}

TEST_F(SimTest, CoolingFanAndHeater) {
  CameraHandle* h = Open(kCooled2600);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Option(h, opt::kTecOn), 1);
  EXPECT_EQ(CallSlot<int32_t>(h, 88, int32_t{-52}), 0);
  int32_t target = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 87, &target), 0);
  EXPECT_EQ(target, -52);
  EXPECT_LT(CallSlot<int32_t>(h, 88, int32_t{-451}), 0);  // below the model's range
  EXPECT_GT(Option(h, opt::kTecDriveMax), 0);
  EXPECT_GE(Option(h, opt::kTecDrive), 0);

  // Stopping the fan stops the cooler; starting the cooler starts the fan.
  EXPECT_EQ(CallSlot<int32_t>(h, 83, uint16_t{0}), 0);
  EXPECT_EQ(Option(h, opt::kTecOn), 0);
  EXPECT_EQ(Option(h, opt::kTecDrive), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kTecOn, int32_t{1}), 0);
  uint16_t fan = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 82, &fan), 0);
  EXPECT_EQ(fan, 1);
  EXPECT_LT(CallSlot<int32_t>(h, 83, uint16_t{4}), 0);  // highest level is 3
  EXPECT_EQ(CallSlot<int32_t>(h, 83, uint16_t{3}), 0);

  EXPECT_EQ(Option(h, opt::kHeaterMax), 2);
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kHeater, int32_t{2}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kHeater, int32_t{3}), 0);
  // Conversion gain with an HDR setting on this model.
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kConversionGain, int32_t{2}), 0);
  // Options of other models are absent here.
  EXPECT_LT(Option(h, opt::kBandwidth), 0);
  EXPECT_LT(Option(h, opt::kLane, kLaneCountQuery), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 189, "supportbandwidth"), 0);
  int32_t skip = 0;
  EXPECT_LT(CallSlot<int32_t>(h, 55, &skip), 0);
}

TEST_F(SimTest, TemperatureDriftsTowardsTheCoolerTarget) {
  CameraHandle* h = Open(kCooled2600);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(sim.set_state(kCooled2600, "temperature", 250), 0);
  ASSERT_EQ(CallSlot<int32_t>(h, 88, int32_t{-100}), 0);
  int16_t first = 0;
  ASSERT_EQ(CallSlot<int32_t>(h, 78, &first), 0);
  int16_t now = first;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (now > first - 20 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CallSlot<int32_t>(h, 78, &now);
  }
  EXPECT_LE(now, first - 20);
  EXPECT_GE(now, -100);
  EXPECT_GT(Option(h, opt::kTecDrive), 0);

  // Cooler off: back up towards the warm sensor.
  ASSERT_EQ(CallSlot<int32_t>(h, 93, opt::kTecOn, int32_t{0}), 0);
  const int16_t cooled = now;
  const auto later = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (now < cooled + 20 && std::chrono::steady_clock::now() < later) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CallSlot<int32_t>(h, 78, &now);
  }
  EXPECT_GE(now, cooled + 20);
}

TEST_F(SimTest, IoLinesHaveCapabilitiesAndPerLineState) {
  CameraHandle* h = Open(kCooled2600);
  ASSERT_NE(h, nullptr);
  auto io = [&](uint32_t line, uint32_t command, int32_t value, int32_t* out) {
    return CallSlot<int32_t>(h, 109, line, command, value, out);
  };
  const int32_t expected[] = {1, 2, 3, 3};  // input, output, GPIO0, GPIO1
  for (uint32_t line = 0; line < 4; ++line) {
    int32_t caps = 0;
    EXPECT_EQ(io(line, io::kGetCapabilities, 0, &caps), 0);
    EXPECT_EQ(caps, expected[line]);
  }
  int32_t out = 0;
  EXPECT_LT(io(4, io::kGetCapabilities, 0, &out), 0);
  EXPECT_LT(io(0xFFFFFFFFu, io::kGetTriggerDelay, 0, &out), 0);

  // Direction only changes on a line that can go both ways.
  EXPECT_EQ(io(2, io::kSetDirection, 1, nullptr), 0);
  EXPECT_EQ(io(2, io::kGetDirection, 0, &out), 0);
  EXPECT_EQ(out, 1);
  EXPECT_LT(io(0, io::kSetDirection, 1, nullptr), 0);
  EXPECT_LT(io(1, io::kSetInputActivation, 1, nullptr), 0);  // output-only line
  EXPECT_LT(io(0, io::kSetOutputMode, 1, nullptr), 0);       // input-only line

  // Per-line settings stay with their line.
  EXPECT_EQ(io(2, io::kSetInputActivation, 1, nullptr), 0);
  EXPECT_EQ(io(3, io::kSetInputActivation, 3, nullptr), 0);
  EXPECT_EQ(io(2, io::kGetInputActivation, 0, &out), 0);
  EXPECT_EQ(out, 1);
  EXPECT_EQ(io(3, io::kGetInputActivation, 0, &out), 0);
  EXPECT_EQ(out, 3);
  EXPECT_LT(io(2, io::kSetInputActivation, 4, nullptr), 0);

  const std::tuple<uint32_t, uint32_t, uint32_t, int32_t> pairs[] = {
      {1, io::kSetOutputInverter, io::kGetOutputInverter, 0},
      {0, io::kSetDebouncerTime, io::kGetDebouncerTime, 20000},
      {0, io::kSetTriggerSource, io::kGetTriggerSource, 5},
      {2, io::kSetTriggerDelay, io::kGetTriggerDelay, 5000000},
      {3, io::kSetCounterSource, io::kGetCounterSource, 2},
      {0, io::kSetCounterValue, io::kGetCounterValue, 65535},
      {2, io::kSetPwmSource, io::kGetPwmSource, 1},
      {1, io::kSetOutputMode, io::kGetOutputMode, 5},
      {0, io::kSetStrobeDelayMode, io::kGetStrobeDelayMode, 1},
      {0, io::kSetStrobeDelayTime, io::kGetStrobeDelayTime, 1000},
      {0, io::kSetStrobeDuration, io::kGetStrobeDuration, 2000},
      {0, io::kSetUserOutput, io::kGetUserOutput, 7}};
  for (const auto& [line, set, get, value] : pairs) {
    SCOPED_TRACE("command " + std::to_string(set));
    EXPECT_EQ(io(line, set, value, nullptr), 0);
    out = -1;
    EXPECT_EQ(io(line, get, 0, &out), 0);
    EXPECT_EQ(out, value);
  }
  EXPECT_LT(io(0, io::kSetCounterValue, 0, nullptr), 0);
  EXPECT_EQ(io(0, io::kResetCounter, 0, nullptr), 0);
  EXPECT_LT(io(0, 99, 0, &out), 0);
  EXPECT_LT(io(0, io::kGetCapabilities, 0, nullptr), 0);

  const auto calls = sim.calls(109, kCooled2600);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls[0].args[0], 0);
  EXPECT_EQ(calls[0].args[1], io::kGetCapabilities);
}

TEST_F(SimTest, IdentityInterfacesAndFormats) {
  CameraHandle* h = Open(kCooled2600);
  ASSERT_NE(h, nullptr);
  void* serial = nullptr;
  ASSERT_EQ(CallSlot<int32_t>(h, 0, kSerialInterfaceId, &serial), 0);
  ASSERT_NE(serial, nullptr);
  char text[32] = {};
  // Position 3 of the auxiliary interface, by table position too.
  using SerialFn = int32_t (*)(void*, char*);
  SerialFn getSerial;
  std::memcpy(&getSerial, &(*static_cast<void***>(serial))[3], sizeof(getSerial));
  EXPECT_EQ(getSerial(serial, text), 0);
  EXPECT_EQ(std::string(text).rfind("PX2600MC-", 0), 0u);
  void* version = nullptr;
  ASSERT_EQ(CallSlot<int32_t>(h, 0, kVersionInterface, &version), 0);
  auto* versions = static_cast<VersionInterface*>(version);
  EXPECT_EQ(versions->GetProductionDate(text), 0);
  EXPECT_GE(std::string(text), "20160701");
  EXPECT_EQ(versions->GetFirmwareVersion(text), 0);
  EXPECT_STRNE(text, "");
  EXPECT_EQ(versions->GetFpgaVersion(text), 0);
  EXPECT_EQ(versions->GetHardwareVersion(text), 0);
  const uint8_t unknown[16] = {1};
  void* none = reinterpret_cast<void*>(1);
  EXPECT_LT(CallSlot<int32_t>(h, 0, unknown, &none), 0);
  EXPECT_EQ(none, nullptr);
  // One byte off is another interface.
  uint8_t nearMiss[16];
  std::memcpy(nearMiss, kVersionInterface, 16);
  nearMiss[12] ^= 0x04;
  none = reinterpret_cast<void*>(1);
  EXPECT_LT(CallSlot<int32_t>(h, 0, static_cast<const uint8_t*>(nearMiss), &none), 0);
  EXPECT_EQ(none, nullptr);

  uint32_t fourcc = 0, bits = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 137, &fourcc, &bits), 0);
  EXPECT_EQ(fourcc, 0x59595959u);  // "YYYY": monochrome
  EXPECT_EQ(bits, 8u);
  EXPECT_EQ(CallSlot<int32_t>(h, 137, static_cast<uint32_t*>(nullptr), &bits), 0);

  int32_t count = 0;
  ASSERT_EQ(CallSlot<int32_t>(h, 146, int32_t{-1}, &count), 0);
  ASSERT_EQ(count, 3);
  std::vector<int32_t> formats;
  for (int32_t i = 0; i < count; ++i) {
    int32_t index = -1;
    EXPECT_EQ(CallSlot<int32_t>(h, 146, i, &index), 0);
    formats.push_back(index);
  }
  EXPECT_EQ(formats, (std::vector<int32_t>{0, 2, 4}));
  EXPECT_LT(CallSlot<int32_t>(h, 146, count, &count), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kPixelFormat, int32_t{2}), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 137, &fourcc, &bits), 0);
  EXPECT_EQ(bits, 12u);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kPixelFormat, int32_t{3}), 0);  // not offered
  EXPECT_EQ(CallSlot<int32_t>(h, 113, int32_t{1}), 0);
  EXPECT_EQ(sim.state(kCooled2600, "setup"), 1);

  int32_t numerator = 0, denominator = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 86, uint32_t{1}, &numerator, &denominator), 0);
  EXPECT_EQ(numerator, 2);
  EXPECT_EQ(denominator, 1);
  EXPECT_LT(CallSlot<int32_t>(h, 86, uint32_t{3}, &numerator, &denominator), 0);
}

TEST_F(SimTest, GeometryFollowsResolutionRegionBinningAndRotation) {
  CameraHandle* h = Open(kCooled2600);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(OutputSize(h), std::make_pair(4096u, 3000u));
  EXPECT_EQ(CallSlot<int32_t>(h, 5, uint32_t{1}), 0);
  uint32_t index = 9;
  EXPECT_EQ(CallSlot<int32_t>(h, 6, &index), 0);
  EXPECT_EQ(index, 1u);
  EXPECT_EQ(OutputSize(h), std::make_pair(2048u, 1500u));
  EXPECT_LT(CallSlot<int32_t>(h, 5, uint32_t{3}), 0);

  // Region: even values, inside the resolution; four zeros clear it.
  EXPECT_EQ(CallSlot<int32_t>(h, 80, uint32_t{101}, uint32_t{51}, uint32_t{640}, uint32_t{480}), 0);
  uint32_t x = 0, y = 0, w = 0, hh = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 81, &x, &y, &w, &hh), 0);
  EXPECT_EQ(x, 100u);
  EXPECT_EQ(y, 50u);
  EXPECT_EQ(w, 640u);
  EXPECT_EQ(hh, 480u);
  EXPECT_EQ(OutputSize(h), std::make_pair(640u, 480u));
  EXPECT_LT(CallSlot<int32_t>(h, 80, uint32_t{2000}, uint32_t{0}, uint32_t{100}, uint32_t{100}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 80, uint32_t{0}, uint32_t{0}, uint32_t{8}, uint32_t{100}), 0);

  // Binning divides, its averaging bit does not change the size.
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kBinning, int32_t{0x82}), 0);
  EXPECT_EQ(Option(h, opt::kBinning), 0x82);
  EXPECT_EQ(OutputSize(h), std::make_pair(320u, 240u));
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kBinning, int32_t{9}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kBinning, int32_t{0x42}), 0);

  // Rotation by a quarter turn swaps the sides.
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kRotate, int32_t{90}), 0);
  EXPECT_EQ(OutputSize(h), std::make_pair(240u, 320u));
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kRotate, int32_t{180}), 0);
  EXPECT_EQ(OutputSize(h), std::make_pair(320u, 240u));
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kRotate, int32_t{45}), 0);

  EXPECT_EQ(CallSlot<int32_t>(h, 80, uint32_t{0}, uint32_t{0}, uint32_t{0}, uint32_t{0}), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 81, &x, &y, &w, &hh), 0);
  EXPECT_EQ(w, 2048u);
  EXPECT_EQ(OutputSize(h), std::make_pair(1024u, 750u));
  // A new resolution drops the region.
  EXPECT_EQ(CallSlot<int32_t>(h, 80, uint32_t{0}, uint32_t{0}, uint32_t{64}, uint32_t{64}), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 5, uint32_t{0}), 0);
  EXPECT_EQ(OutputSize(h), std::make_pair(2048u, 1500u));
}

TEST_F(SimTest, SizeChangesAreRefusedWhileDelivering) {
  CameraHandle* h = Open(kFull);
  ASSERT_NE(h, nullptr);
  EventLog log;
  StartTriggered(h, log);
  EXPECT_LT(CallSlot<int32_t>(h, 5, uint32_t{1}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 80, uint32_t{0}, uint32_t{0}, uint32_t{64}, uint32_t{64}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kBinning, int32_t{2}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kRotate, int32_t{90}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kPixelFormat, int32_t{2}), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kFactoryReset, int32_t{0}), 0);
  EXPECT_LT(StartDelivery(h, log), 0);  // already started
  // What keeps the size is accepted.
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kBinning, int32_t{0x81}), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kRotate, int32_t{180}), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kBandwidth, int32_t{50}), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 159, int32_t{0}), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 93, opt::kBinning, int32_t{2}), 0);
  EXPECT_EQ(OutputSize(h), std::make_pair(1280u, 1024u));
}

TEST_F(SimTest, MaxFrameRateFollowsExposureAndGeometry) {
  CameraHandle* h = Open(kCooled2600);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(CallSlot<int32_t>(h, 34, uint32_t{1000}), 0);
  const int32_t full = Option(h, opt::kMaxFrameRate);
  EXPECT_GT(full, 10);
  ASSERT_EQ(CallSlot<int32_t>(h, 80, uint32_t{0}, uint32_t{0}, uint32_t{1024}, uint32_t{512}), 0);
  EXPECT_GT(Option(h, opt::kMaxFrameRate), full);  // fewer rows read
  ASSERT_EQ(CallSlot<int32_t>(h, 34, uint32_t{500000}), 0);
  EXPECT_EQ(Option(h, opt::kMaxFrameRate), 20);  // 2 fps, in tenths
  ASSERT_EQ(CallSlot<int32_t>(h, 34, uint32_t{100000000}), 0);
  EXPECT_EQ(Option(h, opt::kMaxFrameRate), 1);  // never below 0.1 fps
}

}  // namespace
}  // namespace simtest
