#include "sim/catalogue.h"

#include <cstring>

namespace pyxsim {
namespace {

using namespace pyxon;

constexpr uint64_t kUsb2 = 0;  // no interface bit: USB 2.0

// The records the adapter reads by offset. Static, so pointers stay valid for
// the lifetime of the library.
constexpr CameraModel kPx120M = {"PX-120M", cap::kCmos | cap::kMono | kUsb2, 2, 2, 0, 0, 0, 3.75f,
                                 3.75f,     {{1280, 960}, {640, 480}}};
constexpr CameraModel kPx678C = {
    "PX-678C", cap::kCmos | cap::kUsb30 | cap::kIsp | cap::kDdr, 3, 3, 0, 0, 3, 2.0f,
    2.0f,      {{3840, 2160}, {1920, 1080}, {1280, 720}}};
constexpr CameraModel kPx2600MCool = {
    "PX-2600M-COOL",
    cap::kCmos | cap::kMono | cap::kUsb30 | cap::kTemperature | cap::kFan | cap::kTec |
        cap::kConversionGain | cap::kConversionGainHdr | cap::kFrameRateControl | cap::kHeater,
    0,
    3,
    0,
    3,
    4,
    3.76f,
    3.76f,
    {{4096, 3000}, {2048, 1500}, {1364, 1000}}};
constexpr CameraModel kPxFull = {"PX-FULL",
                                 cap::kCmos | cap::kGlobalShutter | cap::kUsb32 |
                                     cap::kTemperature | cap::kFan | cap::kTec | cap::kIsp |
                                     cap::kDdr | cap::kConversionGain | cap::kConversionGain3 |
                                     cap::kFrameRateControl | cap::kHeater | cap::kLowNoise,
                                 0,
                                 3,
                                 0,
                                 3,
                                 4,
                                 2.4f,
                                 2.4f,
                                 {{2560, 2048}, {1280, 1024}, {640, 512}}};
constexpr CameraModel kPx285MGige = {
    "PX-285M-GIGE",
    cap::kCcdProgressive | cap::kMono | cap::kGige | cap::kTemperature,
    1,
    2,
    0,
    0,
    3,
    6.45f,
    6.45f,
    {{1392, 1040}, {696, 520}}};
constexpr CameraModel kPx429CIl = {
    "PX-429C-IL", cap::kCcdInterlaced | kUsb2, 1, 1, 0, 0, 0, 8.6f, 8.3f, {{752, 582}}};
constexpr CameraModel kPxOemCl = {
    "PX-OEM-CL", cap::kMono | cap::kCameraLink, 0, 1, 0, 0, 0, 5.5f, 5.5f, {{2048, 2048}}};

constexpr int32_t kBinningMax = 0x88;  // factor 8 with the averaging bit

// Options every model has. Ranges of 23, 24 and 26 are checked by the camera.
std::vector<OptionDef> BaseOptions(bool colour) {
  std::vector<OptionDef> options = {
      {opt::kTriggerMode, 0, 0, 1},
      {opt::kOutputFormat, colour ? 2 : 3, colour ? 1 : 3, colour ? 2 : 4},
      {opt::kBinning, 1, 1, kBinningMax},
      {opt::kRotate, 0, 0, 270},
      {opt::kPixelFormat, 0, 0, 20},
      {opt::kFactoryReset, 0, INT32_MIN, INT32_MAX, Access::kWriteOnly},
  };
  if (colour) options.push_back({opt::kColourMode, 0, 0, 1});
  return options;
}

std::vector<OptionDef> With(std::vector<OptionDef> options, std::vector<OptionDef> more) {
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

std::vector<NamedDef> Named(bool gain, bool bandwidth) {
  return {{"issupportgain", gain ? 1 : 0, false, 0, 1},
          {"supportbandwidth", bandwidth ? 1 : 0, false, 0, 1}};
}

std::vector<NamedDef> WithAwb(std::vector<NamedDef> named) {
  named.push_back({"AwbInterval", 1000, true, 100, 600000});
  named.push_back({"AwbOff", 0, true, 0, 1});
  return named;
}

const OptionDef kAePolicy = {opt::kAutoExposurePolicy, 1, 0, 3};
const OptionDef kAePeak = {opt::kAutoExposurePeak, 0, 0, 99};
const OptionDef kWbInterval = {opt::kWhiteBalanceInterval, 0, 0, 600000};
const OptionDef kMaxFrameRate = {opt::kMaxFrameRate,     0, 0, INT32_MAX, Access::kReadOnly,
                                 Computed::kMaxFrameRate};
const OptionDef kTecDrive = {opt::kTecDrive, 0, 0, 255, Access::kReadOnly, Computed::kTecDrive};
const OptionDef kTecDriveMax = {opt::kTecDriveMax, 255, 255, 255, Access::kReadOnly};

ModelProfile Px120M() {
  ModelProfile m{};
  m.record = &kPx120M;
  m.hasSkip = true;
  m.hasSerial = true;
  m.serialPrefix = "PX120M";
  m.firmware = "2.4.1";
  m.hardware = "2.0";
  m.productionDate = "20180420";
  m.fpga = "0.9";
  m.fourcc = FourCc('Y', 'Y', 'Y', 'Y');
  m.pixelFormats = {0, 2};
  m.exposure = {32, 5000000, 10000};
  m.gain = {100, 100, 100};
  m.defaultSpeed = 2;
  m.fullReadoutUs = 20000;
  m.linkBytesPerSecond = 40000000;
  m.options = BaseOptions(false);
  m.named = Named(false, false);
  return m;
}

ModelProfile Px678C() {
  ModelProfile m{};
  m.record = &kPx678C;
  m.colour = true;
  m.hasGain = true;
  m.hasSkip = true;
  m.hasHueSaturation = true;
  m.hasSerial = true;
  m.serialPrefix = "PX678C";
  m.firmware = "3.7.2";
  m.hardware = "3.1";
  m.productionDate = "20220510";
  m.fpga = "1.4";
  m.fourcc = FourCc('G', 'B', 'R', 'G');
  m.pixelFormats = {0, 2};
  m.exposure = {10, 15000000, 10000};
  m.gain = {100, 5000, 100};
  m.defaultSpeed = 3;
  m.fullReadoutUs = 16600;
  m.linkBytesPerSecond = 350000000;
  m.options = With(BaseOptions(true), {kAePolicy,
                                       kAePeak,
                                       kWbInterval,
                                       {opt::kToneMapping, 0, 0, 2},
                                       {opt::kSharpening, 0, 0, 0x3FFFF},
                                       {opt::kDenoise, 20, 0, 100}});
  m.named = WithAwb(Named(true, false));
  return m;
}

ModelProfile Px2600MCool() {
  ModelProfile m{};
  m.record = &kPx2600MCool;
  m.hasGain = true;
  m.hasSerial = true;
  m.serialPrefix = "PX2600MC";
  m.firmware = "4.2.0";
  m.hardware = "4.0";
  m.productionDate = "20230115";
  m.fpga = "2.3";
  m.fourcc = FourCc('Y', 'Y', 'Y', 'Y');
  m.pixelFormats = {0, 2, 4};
  m.exposure = {10, 3600000000u, 10000};
  m.gain = {100, 10000, 100};
  m.defaultFan = 2;
  m.defaultTecTarget = -100;
  m.maxCoolingDelta = 450;
  m.fullReadoutUs = 33000;
  m.linkBytesPerSecond = 350000000;
  m.options = With(BaseOptions(false),
                   {kAePolicy,
                    kAePeak,
                    kMaxFrameRate,
                    kTecDrive,
                    kTecDriveMax,
                    {opt::kTecOn, 1, 0, 1},
                    {opt::kConversionGain, 0, 0, 2},
                    {opt::kFrameRate, 250, 1, 10000},
                    {opt::kHeaterMax, 2, 2, 2, Access::kReadOnly},
                    {opt::kHeater, 0, 0, 2},
                    {opt::kPowerConsumption, 9800, 0, 0, Access::kReadOnly},
                    {opt::kTecTargetRange, PackHalves(-450, 350), 0, 0, Access::kReadOnly}});
  m.named = Named(true, false);
  return m;
}

ModelProfile PxFull() {
  ModelProfile m{};
  m.record = &kPxFull;
  m.colour = true;
  m.hasGain = true;
  m.hasSkip = true;
  m.hasHueSaturation = true;
  m.hasSerial = true;
  m.serialPrefix = "PXFULL";
  m.firmware = "5.0.3";
  m.hardware = "5.1";
  m.productionDate = "20260301";
  m.fpga = "3.0";
  m.fourcc = FourCc('R', 'G', 'G', 'B');
  m.pixelFormats = {0, 1, 2, 3, 4, 17};
  m.exposure = {1, 2000000000u, 10000};
  m.gain = {100, 25600, 100};
  m.defaultFan = 3;
  m.defaultTecTarget = -200;
  m.maxCoolingDelta = 400;
  m.fullReadoutUs = 8300;
  m.linkBytesPerSecond = 800000000;
  m.lanes = {1, 2, 4};
  m.defaultLane = 2;
  m.options = With(BaseOptions(true),
                   {kAePolicy,
                    kAePeak,
                    kWbInterval,
                    kMaxFrameRate,
                    kTecDrive,
                    kTecDriveMax,
                    {opt::kTecOn, 1, 0, 1},
                    {opt::kToneMapping, 0, 0, 2},
                    {opt::kConversionGain, 0, 0, 2},
                    {opt::kSharpening, 0, 0, 0x3FFFF},
                    {opt::kFrameRate, 600, 1, 10000},
                    {opt::kBandwidth, 100, 1, 100},
                    {opt::kDenoise, 20, 0, 100},
                    {opt::kHeaterMax, 3, 3, 3, Access::kReadOnly},
                    {opt::kHeater, 0, 0, 3},
                    {opt::kLowNoise, 0, 0, 1},
                    {opt::kPowerConsumption, 4200, 0, 0, Access::kReadOnly},
                    {opt::kGlobalReset, 0, 0, 1},
                    {opt::kAntiShutterEffect, 0, 0, 1},
                    {opt::kDynamicDefect, PackHalves(60, 80), 0, INT32_MAX},
                    {opt::kHdrKB, PackHalves(32, 256), 0, INT32_MAX},
                    {opt::kHdrThreshold, 4000, 0, 4094},
                    {opt::kLowPower, 0, 0, 1},
                    {opt::kReadoutMode, 0, 0, 1},
                    {opt::kTecTargetRange, PackHalves(-400, 300), 0, 0, Access::kReadOnly},
                    {opt::kCds, 0, 0, 3},
                    {opt::kMechanicalShutter, 0, 0, 1},
                    {opt::kLane, 2, 0, 2},
                    {opt::kVoltageBias, 100, 0, 200},
                    {opt::kVoltageBiasRange, PackHalves(0, 200), 0, 0, Access::kReadOnly},
                    {opt::kAntiBlooming, 50, 0, 255},
                    {opt::kAntiBloomingMax, 255, 255, 255, Access::kReadOnly}});
  m.named = WithAwb(Named(true, true));
  m.named.push_back({"maxCDS", 3, false, 3, 3});
  m.named.push_back({"defAntiBlooming", 50, false, 50, 50});
  return m;
}

ModelProfile Px285MGige() {
  ModelProfile m{};
  m.record = &kPx285MGige;
  m.hasGain = true;
  m.hasSerial = true;
  m.serialPrefix = "PX285MG";
  m.firmware = "1.2.0";
  m.hardware = "1.0";
  m.productionDate = "20140602";
  m.fpga = "0.4";
  m.fourcc = FourCc('Y', 'Y', 'Y', 'Y');
  m.pixelFormats = {0, 3};
  m.exposure = {100, 60000000, 10000};
  m.gain = {100, 2400, 100};
  m.defaultSpeed = 1;
  m.fullReadoutUs = 66000;
  m.linkBytesPerSecond = 110000000;
  m.options = With(BaseOptions(false), {kAePolicy});
  m.named = Named(true, false);
  return m;
}

// A camera whose optional queries mostly fail: no serial number, no production
// date, no white-balance interval, no colour ISP controls.
ModelProfile Px429CIl() {
  ModelProfile m{};
  m.record = &kPx429CIl;
  m.colour = true;
  m.hasGain = true;
  m.hasSerial = false;
  m.serialPrefix = "";
  m.firmware = "0.8";
  m.hardware = "0.8";
  m.productionDate = "";
  m.fpga = "";
  m.fourcc = FourCc('G', 'M', 'C', 'Y');
  m.pixelFormats = {0};
  m.exposure = {100, 10000000, 20000};
  m.gain = {100, 1000, 100};
  m.defaultSpeed = 1;
  m.fullReadoutUs = 40000;
  m.linkBytesPerSecond = 40000000;
  m.options = BaseOptions(true);
  m.named = Named(true, false);
  return m;
}

ModelProfile PxOemCl() {
  ModelProfile m{};
  m.record = &kPxOemCl;
  m.hasSerial = true;
  m.serialPrefix = "PXOEM";
  m.firmware = "1.0.0";
  m.hardware = "1.0";
  m.productionDate = "20200101";
  m.fpga = "1.0";
  m.fourcc = FourCc('Y', 'Y', 'Y', 'Y');
  m.pixelFormats = {0, 1};
  m.exposure = {20, 1000000, 10000};
  m.gain = {100, 100, 100};
  m.fullReadoutUs = 11000;
  m.linkBytesPerSecond = 600000000;
  m.options = BaseOptions(false);
  m.named = Named(false, false);
  return m;
}

}  // namespace

const std::vector<ModelProfile>& Catalogue() {
  static const std::vector<ModelProfile> models = {
      Px120M(), Px678C(), Px2600MCool(), PxFull(), Px285MGige(), Px429CIl(), PxOemCl()};
  return models;
}

const ModelProfile* FindModel(const char* name) {
  if (name == nullptr) return nullptr;
  for (const ModelProfile& model : Catalogue()) {
    if (std::strcmp(model.record->name, name) == 0) return &model;
  }
  return nullptr;
}

uint32_t PixelFormatBits(int32_t index) {
  static constexpr uint32_t kBits[] = {8, 10, 12, 14, 16, 8,  8,  8,  8,  8, 12,
                                       8, 12, 11, 16, 16, 16, 16, 16, 10, 14};
  if (index < 0 || index >= static_cast<int32_t>(sizeof(kBits) / sizeof(kBits[0]))) return 8;
  return kBits[index];
}

}  // namespace pyxsim
