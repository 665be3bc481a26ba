// Declarations of the vendor camera library as the adapter calls it.
//
// The library is a closed shared object. The adapter binds its C entry points by
// name with dlsym, reads its records by byte offset and calls the operations of
// an opened camera by position in the camera object's table of virtual
// functions. Positions and offsets are binary interface: never reorder anything
// here. Operations the adapter never calls are kept as named placeholders so
// that every later position stays where the library puts it.
//
// Every operation returns a signed 32-bit result; negative means failure. Every
// operation has a default body that answers kNotImplemented, so an
// implementation (the simulated library) overrides what it supports.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pyxon {

using Result = int32_t;

constexpr Result kOk = 0;
constexpr Result kNotImplemented = static_cast<Result>(0x80004001u);
constexpr Result kInvalidArgument = static_cast<Result>(0x80070057u);
constexpr Result kUnexpected = static_cast<Result>(0x8000FFFFu);
constexpr Result kPending = static_cast<Result>(0x8000000Au);  // pull: no frame yet

// Pull results that mean "no frame ready yet, try again".
constexpr bool IsPullRetry(Result r) {
  return r == kPending || r == kUnexpected;
}

// Event codes delivered to the callback registered with StartPullWithCallback.
enum EventCode : int32_t {
  kEventExposure = 1,  // exposure changed (auto-exposure)
  kEventTempTint = 2,
  kEventImage = 4,         // a frame is ready to be pulled
  kEventWhiteBalance = 6,  // white-balance gains changed
  kEventError = 0x80,
  kEventDisconnected = 0x81,
};

using EventCallback = void (*)(int32_t event, void* context);

// Capability flags of CameraModel::flags, by bit value.
namespace cap {
constexpr uint64_t kCmos = 1ull << 0;
constexpr uint64_t kCcdProgressive = 1ull << 1;
constexpr uint64_t kCcdInterlaced = 1ull << 2;
constexpr uint64_t kMono = 1ull << 4;  // 0x10
constexpr uint64_t kUsb30 = 1ull << 6;
constexpr uint64_t kUsb30OverUsb20 = 1ull << 8;
constexpr uint64_t kTemperature = 1ull << 10;  // 0x400
constexpr uint64_t kFan = 1ull << 16;          // 0x10000
constexpr uint64_t kTec = 1ull << 17;          // 0x20000
constexpr uint64_t kIsp = 1ull << 18;
constexpr uint64_t kDdr = 1ull << 25;
constexpr uint64_t kConversionGain = 1ull << 26;     // 0x4000000
constexpr uint64_t kConversionGainHdr = 1ull << 35;  // 0x800000000
constexpr uint64_t kGlobalShutter = 1ull << 36;
constexpr uint64_t kFrameRateControl = 1ull << 38;  // 0x4000000000
constexpr uint64_t kHeater = 1ull << 39;            // 0x8000000000
constexpr uint64_t kLowNoise = 1ull << 40;          // 0x10000000000
constexpr uint64_t kGige = 1ull << 45;
constexpr uint64_t kGige10 = 1ull << 46;
constexpr uint64_t kGige5 = 1ull << 47;
constexpr uint64_t kGige40 = 1ull << 48;
constexpr uint64_t kCameraLink = 1ull << 51;
constexpr uint64_t kCoaXPress = 1ull << 52;
constexpr uint64_t kConversionGain3 = 1ull << 56;  // 0x100000000000000
constexpr uint64_t kUsb32 = 1ull << 58;
constexpr uint64_t kUsb32OverUsb30 = 1ull << 59;
constexpr uint64_t kGige25 = 1ull << 61;
}  // namespace cap

constexpr unsigned kMaxResolutions = 16;
constexpr unsigned kMaxCameras = 128;

struct Resolution {
  uint32_t width;
  uint32_t height;
};

// The library's description of a camera model; read by offset.
struct CameraModel {
  const char* name;                         // 0
  uint64_t flags;                           // 8
  uint32_t maxSpeed;                        // 16 highest speed level
  uint32_t resolutionCount;                 // 20
  uint32_t previewCount;                    // 24 (not used by the adapter)
  uint32_t maxFanSpeed;                     // 28
  uint32_t ioLineCount;                     // 32
  float pixelSizeX;                         // 36 micrometres
  float pixelSizeY;                         // 40
  Resolution resolutions[kMaxResolutions];  // 44
};

static_assert(offsetof(CameraModel, name) == 0, "CameraModel layout");
static_assert(offsetof(CameraModel, flags) == 8, "CameraModel layout");
static_assert(offsetof(CameraModel, maxSpeed) == 16, "CameraModel layout");
static_assert(offsetof(CameraModel, resolutionCount) == 20, "CameraModel layout");
static_assert(offsetof(CameraModel, maxFanSpeed) == 28, "CameraModel layout");
static_assert(offsetof(CameraModel, ioLineCount) == 32, "CameraModel layout");
static_assert(offsetof(CameraModel, pixelSizeX) == 36, "CameraModel layout");
static_assert(offsetof(CameraModel, resolutions) == 44, "CameraModel layout");

// One record of the camera list filled by DllEnumCamera.
struct CameraEntry {
  char displayName[64];      // 0, not always terminated
  char id[64];               // 64, not always terminated
  const CameraModel* model;  // 128
};

static_assert(sizeof(CameraEntry) == 136, "CameraEntry is 136 bytes");
static_assert(offsetof(CameraEntry, id) == 64, "CameraEntry layout");
static_assert(offsetof(CameraEntry, model) == 128, "CameraEntry layout");

// 16-byte interface identifiers accepted by CameraHandle::QueryInterface, as stored bytes.
constexpr uint8_t kSerialInterfaceId[16] = {0x13, 0x4b, 0x2d, 0xe1, 0x3f, 0x33, 0xae, 0x4e,
                                            0xbc, 0x89, 0x04, 0x46, 0xd1, 0xfc, 0x63, 0x4d};
constexpr uint8_t kVersionInterfaceId[16] = {0xc7, 0xb0, 0x69, 0xfc, 0x40, 0x61, 0xe7, 0x4f,
                                             0xb3, 0x85, 0x47, 0x3e, 0x5e, 0xa8, 0x78, 0x87};

// Auxiliary interface with the serial number at position 3.
class SerialInterface {
 public:
  virtual Result QueryInterface(const uint8_t* iid, void** out);  // 0
  virtual uint32_t AddRef();                                      // 1
  virtual uint32_t Release();                                     // 2
  virtual Result GetSerialNumber(char serial[32]);                // 3

 protected:
  ~SerialInterface() = default;  // not virtual: the library owns the object
};

// Auxiliary interface with version texts at positions 3 to 6.
class VersionInterface {
 public:
  virtual Result QueryInterface(const uint8_t* iid, void** out);  // 0
  virtual uint32_t AddRef();                                      // 1
  virtual uint32_t Release();                                     // 2
  virtual Result GetFirmwareVersion(char text[32]);               // 3
  virtual Result GetHardwareVersion(char text[32]);               // 4
  virtual Result GetProductionDate(char text[32]);                // 5 eight digits, yyyymmdd
  virtual Result GetFpgaVersion(char text[32]);                   // 6

 protected:
  ~VersionInterface() = default;  // not virtual: the library owns the object
};

inline Result SerialInterface::QueryInterface(const uint8_t*, void**) {
  return kNotImplemented;
}
inline uint32_t SerialInterface::AddRef() {
  return 1;
}
inline uint32_t SerialInterface::Release() {
  return 1;
}
inline Result SerialInterface::GetSerialNumber(char*) {
  return kNotImplemented;
}
inline Result VersionInterface::QueryInterface(const uint8_t*, void**) {
  return kNotImplemented;
}
inline uint32_t VersionInterface::AddRef() {
  return 1;
}
inline uint32_t VersionInterface::Release() {
  return 1;
}
inline Result VersionInterface::GetFirmwareVersion(char*) {
  return kNotImplemented;
}
inline Result VersionInterface::GetHardwareVersion(char*) {
  return kNotImplemented;
}
inline Result VersionInterface::GetProductionDate(char*) {
  return kNotImplemented;
}
inline Result VersionInterface::GetFpgaVersion(char*) {
  return kNotImplemented;
}

// The default bodies ignore their arguments.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"

#define PYXON_OP(ret, name, ...)  \
  virtual ret name(__VA_ARGS__) { \
    return kNotImplemented;       \
  }
#define PYXON_RESERVED(pos)        \
  virtual Result Reserved##pos() { \
    return kNotImplemented;        \
  }

// The opened camera. Comments give the zero-based position in the table.
class CameraHandle {
 public:
  PYXON_OP(Result, QueryInterface, const uint8_t* iid, void** out)  // 0
  PYXON_RESERVED(1)
  PYXON_RESERVED(2)
  PYXON_RESERVED(3)
  PYXON_RESERVED(4)
  PYXON_OP(Result, SetResolutionIndex, uint32_t index)   // 5
  PYXON_OP(Result, GetResolutionIndex, uint32_t* index)  // 6
  PYXON_RESERVED(7)
  PYXON_RESERVED(8)
  PYXON_RESERVED(9)
  PYXON_OP(Result, GetAutoExposure, int32_t* enabled)                // 10
  PYXON_OP(Result, SetAutoExposure, int32_t enabled)                 // 11
  PYXON_OP(Result, GetAutoExposureTarget, uint16_t* target)          // 12
  PYXON_OP(Result, SetAutoExposureTarget, uint16_t target)           // 13
  PYXON_OP(Result, WhiteBalanceOnce, void* callback, void* context)  // 14
  PYXON_RESERVED(15)
  PYXON_RESERVED(16)
  PYXON_RESERVED(17)
  PYXON_RESERVED(18)
  PYXON_RESERVED(19)
  PYXON_RESERVED(20)
  PYXON_RESERVED(21)
  PYXON_RESERVED(22)
  PYXON_RESERVED(23)
  PYXON_RESERVED(24)
  PYXON_OP(Result, SetWhiteBalanceGains, const int32_t gains[3])  // 25
  PYXON_OP(Result, GetWhiteBalanceGains, int32_t gains[3])        // 26
  PYXON_OP(Result, SetHue, int32_t hue)                           // 27
  PYXON_OP(Result, GetHue, int32_t* hue)                          // 28
  PYXON_OP(Result, SetSaturation, int32_t saturation)             // 29
  PYXON_OP(Result, GetSaturation, int32_t* saturation)            // 30
  PYXON_OP(Result, SetBrightness, int32_t brightness)             // 31
  PYXON_OP(Result, GetBrightness, int32_t* brightness)            // 32
  PYXON_OP(Result, GetExposureTime, uint32_t* microseconds)       // 33
  PYXON_OP(Result, SetExposureTime, uint32_t microseconds)        // 34
  PYXON_OP(Result, GetGain, uint16_t* gain)                       // 35
  PYXON_OP(Result, SetGain, uint16_t gain)                        // 36
  PYXON_RESERVED(37)
  PYXON_RESERVED(38)
  PYXON_OP(Result, GetContrast, int32_t* contrast)  // 39
  PYXON_OP(Result, SetContrast, int32_t contrast)   // 40
  PYXON_OP(Result, GetGamma, int32_t* gamma)        // 41
  PYXON_OP(Result, SetGamma, int32_t gamma)         // 42
  PYXON_RESERVED(43)
  PYXON_RESERVED(44)
  PYXON_OP(Result, GetVerticalFlip, int32_t* on)    // 45
  PYXON_OP(Result, SetVerticalFlip, int32_t on)     // 46
  PYXON_OP(Result, GetHorizontalFlip, int32_t* on)  // 47
  PYXON_OP(Result, SetHorizontalFlip, int32_t on)   // 48
  PYXON_OP(Result, SetSpeed, uint16_t speed)        // 49
  PYXON_OP(Result, GetSpeed, uint16_t* speed)       // 50
  PYXON_RESERVED(51)
  PYXON_OP(Result, SetPowerFrequency, int32_t mode)   // 52 0=60Hz 1=50Hz 2=DC
  PYXON_OP(Result, GetPowerFrequency, int32_t* mode)  // 53
  PYXON_OP(Result, SetSkipMode, int32_t skip)         // 54 0=bin 1=skip
  PYXON_OP(Result, GetSkipMode, int32_t* skip)        // 55
  PYXON_RESERVED(56)
  PYXON_OP(Result, GetExposureRange, uint32_t* min, uint32_t* max, uint32_t* def)  // 57
  PYXON_OP(Result, GetGainRange, uint16_t* min, uint16_t* max, uint16_t* def)      // 58
  PYXON_RESERVED(59)
  PYXON_RESERVED(60)
  PYXON_RESERVED(61)
  PYXON_RESERVED(62)
  PYXON_RESERVED(63)
  PYXON_RESERVED(64)
  PYXON_RESERVED(65)
  PYXON_RESERVED(66)
  PYXON_RESERVED(67)
  PYXON_RESERVED(68)
  PYXON_RESERVED(69)
  PYXON_RESERVED(70)
  PYXON_RESERVED(71)
  PYXON_RESERVED(72)
  PYXON_OP(Result, SetAutoExposureMax, uint32_t maxTime, uint16_t maxGain)  // 73
  PYXON_OP(Result, GetRealExposureTime, uint32_t* microseconds)             // 74
  PYXON_RESERVED(75)
  PYXON_RESERVED(76)
  PYXON_RESERVED(77)
  PYXON_OP(Result, GetTemperature, int16_t* tenthsCelsius)  // 78
  PYXON_RESERVED(79)
  PYXON_OP(Result, SetRoi, uint32_t x, uint32_t y, uint32_t width, uint32_t height)      // 80
  PYXON_OP(Result, GetRoi, uint32_t* x, uint32_t* y, uint32_t* width, uint32_t* height)  // 81
  PYXON_OP(Result, GetFanSpeed, uint16_t* speed)                                         // 82
  PYXON_OP(Result, SetFanSpeed, uint16_t speed)                                          // 83
  PYXON_RESERVED(84)
  PYXON_RESERVED(85)
  PYXON_OP(Result, GetResolutionRatio, uint32_t index, int32_t* numerator,
           int32_t* denominator)                          // 86
  PYXON_OP(Result, GetTecTarget, int32_t* tenthsCelsius)  // 87
  PYXON_OP(Result, SetTecTarget, int32_t tenthsCelsius)   // 88
  PYXON_RESERVED(89)
  PYXON_RESERVED(90)
  PYXON_RESERVED(91)
  PYXON_RESERVED(92)
  PYXON_OP(Result, SetOption, uint32_t option, int32_t value)   // 93
  PYXON_OP(Result, GetOption, uint32_t option, int32_t* value)  // 94
  PYXON_RESERVED(95)
  PYXON_RESERVED(96)
  PYXON_RESERVED(97)
  PYXON_RESERVED(98)
  PYXON_RESERVED(99)
  PYXON_RESERVED(100)
  PYXON_RESERVED(101)
  PYXON_RESERVED(102)
  PYXON_RESERVED(103)
  PYXON_RESERVED(104)
  PYXON_RESERVED(105)
  PYXON_RESERVED(106)
  PYXON_RESERVED(107)
  PYXON_RESERVED(108)
  PYXON_OP(Result, IoControl, uint32_t line, uint32_t command, int32_t value, int32_t* out)  // 109
  PYXON_RESERVED(110)
  PYXON_RESERVED(111)
  PYXON_RESERVED(112)
  PYXON_OP(Result, Setup, int32_t mode)  // 113
  PYXON_RESERVED(114)
  PYXON_OP(Result, PrepareSoftwareTrigger, void)  // 115
  PYXON_OP(Result, SetNegative, int32_t on)       // 116
  PYXON_OP(Result, GetNegative, int32_t* on)      // 117
  PYXON_RESERVED(118)
  PYXON_RESERVED(119)
  PYXON_RESERVED(120)
  PYXON_RESERVED(121)
  PYXON_RESERVED(122)
  PYXON_RESERVED(123)
  PYXON_RESERVED(124)
  PYXON_RESERVED(125)
  PYXON_RESERVED(126)
  PYXON_RESERVED(127)
  PYXON_RESERVED(128)
  PYXON_RESERVED(129)
  PYXON_OP(Result, GetAutoExposureMax, uint32_t* maxTime,
           uint16_t* maxGain)  // 130 either may be null
  PYXON_RESERVED(131)
  PYXON_RESERVED(132)
  PYXON_RESERVED(133)
  PYXON_OP(Result, GetOutputSize, uint32_t* width, uint32_t* height)  // 134
  PYXON_RESERVED(135)
  PYXON_RESERVED(136)
  PYXON_OP(Result, GetRawFormat, uint32_t* fourcc, uint32_t* bits)  // 137 either may be null
  PYXON_OP(Result, SoftwareTrigger, uint16_t count)                 // 138
  PYXON_RESERVED(139)
  PYXON_RESERVED(140)
  PYXON_RESERVED(141)
  PYXON_RESERVED(142)
  PYXON_RESERVED(143)
  PYXON_RESERVED(144)
  PYXON_RESERVED(145)
  PYXON_OP(Result, GetPixelFormatSupport, int32_t position, int32_t* out)  // 146 -1: count
  PYXON_RESERVED(147)
  PYXON_RESERVED(148)
  PYXON_RESERVED(149)
  PYXON_RESERVED(150)
  PYXON_RESERVED(151)
  PYXON_RESERVED(152)
  PYXON_RESERVED(153)
  PYXON_RESERVED(154)
  PYXON_RESERVED(155)
  PYXON_RESERVED(156)
  PYXON_RESERVED(157)
  PYXON_OP(Result, StartPullWithCallback, void* a1, void* a2, void* a3, void* a4, void* a5,
           void* a6, void* a7, EventCallback callback, void* a9, void* context)  // 158
  PYXON_OP(Result, Stop, int32_t mode)                                           // 159
  PYXON_OP(Result, Close, void)                                                  // 160
  PYXON_RESERVED(161)
  PYXON_RESERVED(162)
  PYXON_RESERVED(163)
  PYXON_RESERVED(164)
  PYXON_RESERVED(165)
  PYXON_RESERVED(166)
  PYXON_RESERVED(167)
  PYXON_RESERVED(168)
  PYXON_OP(Result, GetFrameStatistics, uint32_t* frames, uint32_t* intervalMs, uint32_t* total,
           int32_t reserved1, int32_t reserved2)  // 169
  PYXON_RESERVED(170)
  PYXON_RESERVED(171)
  PYXON_RESERVED(172)
  PYXON_RESERVED(173)
  PYXON_RESERVED(174)
  PYXON_RESERVED(175)
  PYXON_RESERVED(176)
  PYXON_RESERVED(177)
  PYXON_RESERVED(178)
  PYXON_RESERVED(179)
  PYXON_RESERVED(180)
  PYXON_RESERVED(181)
  PYXON_RESERVED(182)
  PYXON_RESERVED(183)
  PYXON_OP(Result, PullImage, int32_t waitMode, void* destination, int32_t bits, int32_t rowPitch,
           void* frameInfo)  // 184
  PYXON_RESERVED(185)
  PYXON_RESERVED(186)
  PYXON_RESERVED(187)
  PYXON_RESERVED(188)
  PYXON_OP(Result, QueryNamedInt, const char* name)  // 189 result is the value
  PYXON_RESERVED(190)
  PYXON_RESERVED(191)
  PYXON_RESERVED(192)
  PYXON_RESERVED(193)
  PYXON_RESERVED(194)
  PYXON_OP(Result, GetNamedValue, const char* name, int32_t* value)  // 195
  PYXON_OP(Result, SetNamedValue, const char* name, int32_t value)   // 196

 protected:
  CameraHandle() = default;
  ~CameraHandle() = default;  // not virtual: the library owns the object; Close releases it
};

#undef PYXON_OP
#undef PYXON_RESERVED
#pragma GCC diagnostic pop

constexpr unsigned kCameraHandleOperationCount = 197;

// Option identifiers for SetOption/GetOption used by the adapter.
namespace opt {
constexpr uint32_t kTecOn = 8;
constexpr uint32_t kToneMapping = 10;
constexpr uint32_t kTriggerMode = 11;   // 1 triggered, 0 free-running
constexpr uint32_t kOutputFormat = 12;  // colour 64/32: 1/2, mono 8/16: 3/4
constexpr uint32_t kAutoExposurePolicy = 16;
constexpr uint32_t kBinning = 23;  // bits 0-3 factor, bit 7 average
constexpr uint32_t kRotate = 24;
constexpr uint32_t kConversionGain = 25;
constexpr uint32_t kPixelFormat = 26;
constexpr uint32_t kSharpening = 30;
constexpr uint32_t kFactoryReset = 31;
constexpr uint32_t kTecDrive = 32;
constexpr uint32_t kTecDriveMax = 33;
constexpr uint32_t kColourMode = 42;
constexpr uint32_t kMaxFrameRate = 44;  // tenths of fps, read only
constexpr uint32_t kFrameRate = 45;     // tenths of fps
constexpr uint32_t kBandwidth = 46;     // percent
constexpr uint32_t kDenoise = 53;
constexpr uint32_t kHeaterMax = 54;
constexpr uint32_t kHeater = 55;
constexpr uint32_t kLowNoise = 56;
constexpr uint32_t kPowerConsumption = 57;  // mW
constexpr uint32_t kGlobalReset = 58;
constexpr uint32_t kAutoExposurePeak = 74;  // 0 off, 1-99 percent
constexpr uint32_t kAntiShutterEffect = 75;
constexpr uint32_t kDynamicDefect = 86;  // packed: dead high, hot low, x100
constexpr uint32_t kHdrKB = 87;          // packed: K high, B low
constexpr uint32_t kHdrThreshold = 88;
constexpr uint32_t kLowPower = 102;
constexpr uint32_t kReadoutMode = 105;
constexpr uint32_t kWhiteBalanceInterval = 108;  // 0 = continuous off
constexpr uint32_t kTecTargetRange = 109;        // packed signed: min low, max high
constexpr uint32_t kCds = 110;
constexpr uint32_t kMechanicalShutter = 118;
constexpr uint32_t kLane = 126;  // read form chosen by the preset value
constexpr uint32_t kVoltageBias = 127;
constexpr uint32_t kVoltageBiasRange = 128;  // packed unsigned: min low, max high
constexpr uint32_t kAntiBlooming = 139;
constexpr uint32_t kAntiBloomingMax = 140;
}  // namespace opt

constexpr int32_t kLaneCountQuery = static_cast<int32_t>(0xFF000000u);
constexpr int32_t kLaneValueQuery = static_cast<int32_t>(0xFE000000u);

// IoControl command codes.
namespace io {
constexpr uint32_t kGetCapabilities = 1;  // bit 0 input, bit 1 output
constexpr uint32_t kGetDirection = 3;
constexpr uint32_t kSetDirection = 4;
constexpr uint32_t kGetOutputInverter = 7;
constexpr uint32_t kSetOutputInverter = 8;
constexpr uint32_t kGetInputActivation = 9;
constexpr uint32_t kSetInputActivation = 10;
constexpr uint32_t kGetDebouncerTime = 11;
constexpr uint32_t kSetDebouncerTime = 12;
constexpr uint32_t kGetTriggerSource = 13;
constexpr uint32_t kSetTriggerSource = 14;
constexpr uint32_t kGetTriggerDelay = 15;
constexpr uint32_t kSetTriggerDelay = 16;
constexpr uint32_t kGetCounterSource = 19;
constexpr uint32_t kSetCounterSource = 20;
constexpr uint32_t kGetCounterValue = 21;
constexpr uint32_t kSetCounterValue = 22;
constexpr uint32_t kResetCounter = 24;
constexpr uint32_t kGetPwmSource = 29;
constexpr uint32_t kSetPwmSource = 30;
constexpr uint32_t kGetOutputMode = 31;
constexpr uint32_t kSetOutputMode = 32;
constexpr uint32_t kGetStrobeDelayMode = 33;
constexpr uint32_t kSetStrobeDelayMode = 34;
constexpr uint32_t kGetStrobeDelayTime = 35;
constexpr uint32_t kSetStrobeDelayTime = 36;
constexpr uint32_t kGetStrobeDuration = 37;
constexpr uint32_t kSetStrobeDuration = 38;
constexpr uint32_t kGetUserOutput = 39;
constexpr uint32_t kSetUserOutput = 40;
}  // namespace io

}  // namespace pyxon

// C entry points, resolved by name.
extern "C" {
typedef const char* (*DllDeroNameFn)();
typedef const char* (*DllCompanyFn)();
typedef const char* (*DllVersionFn)();
typedef void (*DllAppNameFn)(const char* name);
typedef int32_t (*DllEnumCameraFn)(pyxon::CameraEntry list[pyxon::kMaxCameras]);
typedef int32_t (*DllGigeEnableFn)(void* callback, void* context);
typedef int32_t (*DllGetDefAEFn)(int32_t which, uint16_t* value);
typedef pyxon::CameraHandle* (*DllOpenFn)(const char* openText);
}
