// The camera library's binary interface, typed out here as plain literals and
// held against the declarations in vendor/pyxon_api.h. The adapter and the
// simulated library both compile against that header, so a wrong byte or a
// shifted table position in it would pass every other test; only literals that
// do not come from the header can catch it.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "tests/common/raw_slot.h"
#include "vendor/pyxon_api.h"

namespace {

using pyxon::CameraHandle;
using pyxon::Result;

// A pointer to a virtual member function holds one plus the byte offset of the
// function's entry in the table (x86-64 C++ ABI): the same entry that a call
// through the name uses. With Sig given, the declaration must also have exactly
// that signature, or the test does not compile.
template <class Sig, class C>
long Position(Sig C::*member) {
  struct {
    uintptr_t pointer;
    ptrdiff_t adjustment;
  } raw;
  static_assert(sizeof member == sizeof raw, "two-word member function pointer");
  std::memcpy(&raw, &member, sizeof raw);
  if ((raw.pointer & 1u) == 0) return -1;  // not virtual
  return static_cast<long>((raw.pointer - 1) / sizeof(void*));
}

struct Operation {
  long position;
  long declared;
  const char* name;
};

struct Number {
  uint64_t value;
  uint64_t declared;
  const char* name;
};

std::array<uint8_t, 16> Bytes(const char* hex) {
  std::array<uint8_t, 16> bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
  }
  return bytes;
}

std::string Hex(const uint8_t* bytes) {
  std::string text;
  char two[3];
  for (int i = 0; i < 16; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    text += two;
  }
  return text;
}

void ExpectNumbers(const char* group, std::initializer_list<Number> numbers) {
  for (const Number& number : numbers) {
    EXPECT_EQ(number.declared, number.value) << group << "::" << number.name;
  }
}

void ExpectPositions(const char* owner, std::initializer_list<Operation> operations) {
  for (const Operation& operation : operations) {
    EXPECT_EQ(operation.declared, operation.position) << owner << "::" << operation.name;
  }
}

// Answers three positions far apart with recognisable codes.
class MarkedHandle final : public CameraHandle {
 public:
  Result QueryInterface(const uint8_t*, void**) override { return 100; }
  Result SetOption(uint32_t option, int32_t value) override {
    return static_cast<Result>(200 + option + static_cast<uint32_t>(value));
  }
  Result SetNamedValue(const char*, int32_t value) override { return 300 + value; }
};

}  // namespace

#define FIELD(record, member, offset, type)                                   \
  {                                                                           \
#record "::" #member, offsetof(pyxon::record, member), offset,            \
        std::is_same_v < decltype(pyxon::record::member), type>, sizeof(type) \
  }

TEST(VendorRecords, OffsetsAndTypes) {
  struct Field {
    const char* name;
    size_t declared;
    size_t offset;
    bool sameType;
    size_t size;
  };
  const Field fields[] = {
      FIELD(CameraEntry, displayName, 0, char[64]),
      FIELD(CameraEntry, id, 64, char[64]),
      FIELD(CameraEntry, model, 128, const pyxon::CameraModel*),
      FIELD(CameraModel, name, 0, const char*),
      FIELD(CameraModel, flags, 8, uint64_t),
      FIELD(CameraModel, maxSpeed, 16, uint32_t),
      FIELD(CameraModel, resolutionCount, 20, uint32_t),
      FIELD(CameraModel, maxFanSpeed, 28, uint32_t),
      FIELD(CameraModel, ioLineCount, 32, uint32_t),
      FIELD(CameraModel, pixelSizeX, 36, float),
      FIELD(CameraModel, resolutions, 44, pyxon::Resolution[pyxon::kMaxResolutions]),
      FIELD(Resolution, width, 0, uint32_t),
      FIELD(Resolution, height, 4, uint32_t),
  };
  for (const Field& field : fields) {
    EXPECT_EQ(field.declared, field.offset) << field.name << " offset";
    EXPECT_TRUE(field.sameType) << field.name << " should be " << field.size << " bytes";
  }
  EXPECT_EQ(sizeof(pyxon::CameraEntry), 136u);
  EXPECT_EQ(sizeof(pyxon::Resolution), 8u);  // entry i at 44 + 8 * i
  EXPECT_EQ(pyxon::kMaxCameras, 128u);
}

#undef FIELD

TEST(VendorInterfaces, IdentifiersAreTheStoredBytes) {
  const struct {
    const uint8_t* declared;
    size_t size;
    const char* text;
    const char* name;
  } identifiers[] = {
      {pyxon::kSerialInterfaceId, sizeof pyxon::kSerialInterfaceId,
       "134b2de13f33ae4ebc890446d1fc634d", "serial"},
      {pyxon::kVersionInterfaceId, sizeof pyxon::kVersionInterfaceId,
       "c7b069fc4061e74fb385473e5ea87887", "version"},
  };
  for (const auto& id : identifiers) {
    ASSERT_EQ(id.size, 16u) << id.name;
    const std::array<uint8_t, 16> wanted = Bytes(id.text);
    EXPECT_EQ(std::memcmp(id.declared, wanted.data(), wanted.size()), 0)
        << id.name << " interface: header has " << Hex(id.declared) << ", the library expects "
        << id.text;
  }
}

TEST(VendorInterfaces, AuxiliaryOperationPositions) {
  using Text = Result(char*);
  ExpectPositions("SerialInterface", {{3, Position<Text>(&pyxon::SerialInterface::GetSerialNumber),
                                       "GetSerialNumber"}});
  ExpectPositions(
      "VersionInterface",
      {{3, Position<Text>(&pyxon::VersionInterface::GetFirmwareVersion), "GetFirmwareVersion"},
       {4, Position<Text>(&pyxon::VersionInterface::GetHardwareVersion), "GetHardwareVersion"},
       {5, Position<Text>(&pyxon::VersionInterface::GetProductionDate), "GetProductionDate"},
       {6, Position<Text>(&pyxon::VersionInterface::GetFpgaVersion), "GetFpgaVersion"}});
}

// Every position the adapter calls. Where the width or signedness of an
// argument is part of the contract, the signature is checked as well.
#define AT(position, name) \
  { position, Position(&CameraHandle::name), #name }
#define TYPED(position, name, ...) \
  { position, Position<__VA_ARGS__>(&CameraHandle::name), #name }

TEST(VendorHandle, EveryCalledOperationSitsAtItsPosition) {
  using pyxon::EventCallback;
  ExpectPositions("CameraHandle",
                  {
                      AT(0, QueryInterface),
                      AT(5, SetResolutionIndex),
                      AT(6, GetResolutionIndex),
                      TYPED(10, GetAutoExposure, Result(int32_t*)),
                      TYPED(11, SetAutoExposure, Result(int32_t)),
                      TYPED(12, GetAutoExposureTarget, Result(uint16_t*)),
                      TYPED(13, SetAutoExposureTarget, Result(uint16_t)),
                      TYPED(14, WhiteBalanceOnce, Result(void*, void*)),
                      AT(25, SetWhiteBalanceGains),
                      AT(26, GetWhiteBalanceGains),
                      AT(27, SetHue),
                      AT(28, GetHue),
                      AT(29, SetSaturation),
                      AT(30, GetSaturation),
                      AT(31, SetBrightness),
                      AT(32, GetBrightness),
                      TYPED(33, GetExposureTime, Result(uint32_t*)),
                      TYPED(34, SetExposureTime, Result(uint32_t)),
                      TYPED(35, GetGain, Result(uint16_t*)),
                      TYPED(36, SetGain, Result(uint16_t)),
                      AT(39, GetContrast),
                      AT(40, SetContrast),
                      AT(41, GetGamma),
                      AT(42, SetGamma),
                      AT(45, GetVerticalFlip),
                      AT(46, SetVerticalFlip),
                      AT(47, GetHorizontalFlip),
                      AT(48, SetHorizontalFlip),
                      TYPED(49, SetSpeed, Result(uint16_t)),
                      TYPED(50, GetSpeed, Result(uint16_t*)),
                      AT(52, SetPowerFrequency),
                      AT(53, GetPowerFrequency),
                      AT(54, SetSkipMode),
                      AT(55, GetSkipMode),
                      TYPED(57, GetExposureRange, Result(uint32_t*, uint32_t*, uint32_t*)),
                      TYPED(58, GetGainRange, Result(uint16_t*, uint16_t*, uint16_t*)),
                      TYPED(73, SetAutoExposureMax, Result(uint32_t, uint16_t)),
                      TYPED(74, GetRealExposureTime, Result(uint32_t*)),
                      TYPED(78, GetTemperature, Result(int16_t*)),
                      TYPED(80, SetRoi, Result(uint32_t, uint32_t, uint32_t, uint32_t)),
                      TYPED(81, GetRoi, Result(uint32_t*, uint32_t*, uint32_t*, uint32_t*)),
                      TYPED(82, GetFanSpeed, Result(uint16_t*)),
                      TYPED(83, SetFanSpeed, Result(uint16_t)),
                      AT(86, GetResolutionRatio),
                      TYPED(87, GetTecTarget, Result(int32_t*)),
                      TYPED(88, SetTecTarget, Result(int32_t)),
                      TYPED(93, SetOption, Result(uint32_t, int32_t)),
                      TYPED(94, GetOption, Result(uint32_t, int32_t*)),
                      TYPED(109, IoControl, Result(uint32_t, uint32_t, int32_t, int32_t*)),
                      AT(113, Setup),
                      TYPED(115, PrepareSoftwareTrigger, Result()),
                      AT(116, SetNegative),
                      AT(117, GetNegative),
                      TYPED(130, GetAutoExposureMax, Result(uint32_t*, uint16_t*)),
                      AT(134, GetOutputSize),
                      AT(137, GetRawFormat),
                      AT(138, SoftwareTrigger),
                      TYPED(146, GetPixelFormatSupport, Result(int32_t, int32_t*)),
                      TYPED(158, StartPullWithCallback,
                            Result(void*, void*, void*, void*, void*, void*, void*, EventCallback,
                                   void*, void*)),
                      AT(159, Stop),
                      TYPED(160, Close, Result()),
                      AT(169, GetFrameStatistics),
                      TYPED(184, PullImage, Result(int32_t, void*, int32_t, int32_t, void*)),
                      TYPED(189, QueryNamedInt, Result(const char*)),
                      TYPED(195, GetNamedValue, Result(const char*, int32_t*)),
                      TYPED(196, SetNamedValue, Result(const char*, int32_t)),
                  });
  EXPECT_TRUE((std::is_same_v<EventCallback, void (*)(int32_t, void*)>));
}

#undef AT
#undef TYPED

TEST(VendorHandle, RawTableCallsReachTheNamedOperations) {
  MarkedHandle handle;
  using testcommon::Slot;
  EXPECT_EQ((Slot<Result(const uint8_t*, void**)>(&handle, 0, nullptr, nullptr)), 100);
  EXPECT_EQ((Slot<Result(uint32_t, int32_t)>(&handle, 93, 11u, 1)), 212);
  EXPECT_EQ((Slot<Result(const char*, int32_t)>(&handle, 196, "AwbOff", 1)), 301);
}

TEST(VendorNumbers, OptionIdentifiers) {
  namespace o = pyxon::opt;
  ExpectNumbers("opt", {
                           {8, o::kTecOn, "kTecOn"},
                           {10, o::kToneMapping, "kToneMapping"},
                           {11, o::kTriggerMode, "kTriggerMode"},
                           {12, o::kOutputFormat, "kOutputFormat"},
                           {16, o::kAutoExposurePolicy, "kAutoExposurePolicy"},
                           {23, o::kBinning, "kBinning"},
                           {24, o::kRotate, "kRotate"},
                           {25, o::kConversionGain, "kConversionGain"},
                           {26, o::kPixelFormat, "kPixelFormat"},
                           {30, o::kSharpening, "kSharpening"},
                           {31, o::kFactoryReset, "kFactoryReset"},
                           {32, o::kTecDrive, "kTecDrive"},
                           {33, o::kTecDriveMax, "kTecDriveMax"},
                           {42, o::kColourMode, "kColourMode"},
                           {44, o::kMaxFrameRate, "kMaxFrameRate"},
                           {45, o::kFrameRate, "kFrameRate"},
                           {46, o::kBandwidth, "kBandwidth"},
                           {53, o::kDenoise, "kDenoise"},
                           {54, o::kHeaterMax, "kHeaterMax"},
                           {55, o::kHeater, "kHeater"},
                           {56, o::kLowNoise, "kLowNoise"},
                           {57, o::kPowerConsumption, "kPowerConsumption"},
                           {58, o::kGlobalReset, "kGlobalReset"},
                           {74, o::kAutoExposurePeak, "kAutoExposurePeak"},
                           {75, o::kAntiShutterEffect, "kAntiShutterEffect"},
                           {86, o::kDynamicDefect, "kDynamicDefect"},
                           {87, o::kHdrKB, "kHdrKB"},
                           {88, o::kHdrThreshold, "kHdrThreshold"},
                           {102, o::kLowPower, "kLowPower"},
                           {105, o::kReadoutMode, "kReadoutMode"},
                           {108, o::kWhiteBalanceInterval, "kWhiteBalanceInterval"},
                           {109, o::kTecTargetRange, "kTecTargetRange"},
                           {110, o::kCds, "kCds"},
                           {118, o::kMechanicalShutter, "kMechanicalShutter"},
                           {126, o::kLane, "kLane"},
                           {127, o::kVoltageBias, "kVoltageBias"},
                           {128, o::kVoltageBiasRange, "kVoltageBiasRange"},
                           {139, o::kAntiBlooming, "kAntiBlooming"},
                           {140, o::kAntiBloomingMax, "kAntiBloomingMax"},
                       });
  // Presets that select the form of a lane read.
  ExpectNumbers("lane", {
                            {0xFF000000u, static_cast<uint32_t>(pyxon::kLaneCountQuery), "count"},
                            {0xFE000000u, static_cast<uint32_t>(pyxon::kLaneValueQuery), "value"},
                        });
}

TEST(VendorNumbers, IoCommands) {
  namespace i = pyxon::io;
  ExpectNumbers("io", {
                          {1, i::kGetCapabilities, "kGetCapabilities"},
                          {3, i::kGetDirection, "kGetDirection"},
                          {4, i::kSetDirection, "kSetDirection"},
                          {7, i::kGetOutputInverter, "kGetOutputInverter"},
                          {8, i::kSetOutputInverter, "kSetOutputInverter"},
                          {9, i::kGetInputActivation, "kGetInputActivation"},
                          {10, i::kSetInputActivation, "kSetInputActivation"},
                          {11, i::kGetDebouncerTime, "kGetDebouncerTime"},
                          {12, i::kSetDebouncerTime, "kSetDebouncerTime"},
                          {13, i::kGetTriggerSource, "kGetTriggerSource"},
                          {14, i::kSetTriggerSource, "kSetTriggerSource"},
                          {15, i::kGetTriggerDelay, "kGetTriggerDelay"},
                          {16, i::kSetTriggerDelay, "kSetTriggerDelay"},
                          {19, i::kGetCounterSource, "kGetCounterSource"},
                          {20, i::kSetCounterSource, "kSetCounterSource"},
                          {21, i::kGetCounterValue, "kGetCounterValue"},
                          {22, i::kSetCounterValue, "kSetCounterValue"},
                          {24, i::kResetCounter, "kResetCounter"},
                          {29, i::kGetPwmSource, "kGetPwmSource"},
                          {30, i::kSetPwmSource, "kSetPwmSource"},
                          {31, i::kGetOutputMode, "kGetOutputMode"},
                          {32, i::kSetOutputMode, "kSetOutputMode"},
                          {33, i::kGetStrobeDelayMode, "kGetStrobeDelayMode"},
                          {34, i::kSetStrobeDelayMode, "kSetStrobeDelayMode"},
                          {35, i::kGetStrobeDelayTime, "kGetStrobeDelayTime"},
                          {36, i::kSetStrobeDelayTime, "kSetStrobeDelayTime"},
                          {37, i::kGetStrobeDuration, "kGetStrobeDuration"},
                          {38, i::kSetStrobeDuration, "kSetStrobeDuration"},
                          {39, i::kGetUserOutput, "kGetUserOutput"},
                          {40, i::kSetUserOutput, "kSetUserOutput"},
                      });
}

// By bit number; the value is 1 << bit.
TEST(VendorNumbers, CapabilityBits) {
  namespace c = pyxon::cap;
  const Number bits[] = {
      {0, c::kCmos, "kCmos"},
      {1, c::kCcdProgressive, "kCcdProgressive"},
      {2, c::kCcdInterlaced, "kCcdInterlaced"},
      {4, c::kMono, "kMono"},
      {6, c::kUsb30, "kUsb30"},
      {8, c::kUsb30OverUsb20, "kUsb30OverUsb20"},
      {10, c::kTemperature, "kTemperature"},
      {16, c::kFan, "kFan"},
      {17, c::kTec, "kTec"},
      {18, c::kIsp, "kIsp"},
      {25, c::kDdr, "kDdr"},
      {26, c::kConversionGain, "kConversionGain"},
      {35, c::kConversionGainHdr, "kConversionGainHdr"},
      {36, c::kGlobalShutter, "kGlobalShutter"},
      {38, c::kFrameRateControl, "kFrameRateControl"},
      {39, c::kHeater, "kHeater"},
      {40, c::kLowNoise, "kLowNoise"},
      {45, c::kGige, "kGige"},
      {46, c::kGige10, "kGige10"},
      {47, c::kGige5, "kGige5"},
      {48, c::kGige40, "kGige40"},
      {51, c::kCameraLink, "kCameraLink"},
      {52, c::kCoaXPress, "kCoaXPress"},
      {56, c::kConversionGain3, "kConversionGain3"},
      {58, c::kUsb32, "kUsb32"},
      {59, c::kUsb32OverUsb30, "kUsb32OverUsb30"},
      {61, c::kGige25, "kGige25"},
  };
  for (const Number& bit : bits) {
    EXPECT_EQ(bit.declared, uint64_t{1} << bit.value)
        << "cap::" << bit.name << " is bit " << bit.value;
  }
}

TEST(VendorNumbers, EventsAndResults) {
  ExpectNumbers("event",
                {
                    {1, static_cast<uint64_t>(pyxon::kEventExposure), "kEventExposure"},
                    {4, static_cast<uint64_t>(pyxon::kEventImage), "kEventImage"},
                    {6, static_cast<uint64_t>(pyxon::kEventWhiteBalance), "kEventWhiteBalance"},
                });
  EXPECT_TRUE((std::is_same_v<Result, int32_t>));
  const struct {
    uint32_t code;
    bool retry;
  } pulls[] = {{0x8000000Au, true}, {0x8000FFFFu, true},  {0u, false},
               {1u, false},         {0xFFFFFFFFu, false}, {0x80004001u, false}};
  for (const auto& pull : pulls) {
    EXPECT_EQ(pyxon::IsPullRetry(static_cast<Result>(pull.code)), pull.retry)
        << std::hex << "0x" << pull.code;
  }
}

TEST(VendorEntryPoints, Signatures) {
  using pyxon::CameraEntry;
  EXPECT_TRUE((std::is_same_v<DllDeroNameFn, const char* (*)()>));
  EXPECT_TRUE((std::is_same_v<DllCompanyFn, const char* (*)()>));
  EXPECT_TRUE((std::is_same_v<DllVersionFn, const char* (*)()>));
  EXPECT_TRUE((std::is_same_v<DllAppNameFn, void (*)(const char*)>));
  EXPECT_TRUE((std::is_same_v<DllEnumCameraFn, int32_t (*)(CameraEntry*)>));
  EXPECT_TRUE((std::is_same_v<DllGigeEnableFn, int32_t (*)(void*, void*)>));
  EXPECT_TRUE((std::is_same_v<DllGetDefAEFn, int32_t (*)(int32_t, uint16_t*)>));
  EXPECT_TRUE((std::is_same_v<DllOpenFn, CameraHandle* (*)(const char*)>));
}
