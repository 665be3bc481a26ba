// Geometry of the delivered frames: sensor resolution, pixel format, binning
// and its method, bin-or-skip, region of interest, flips and rotation.
//
// Changes of frame size or pixel layout go through ReconfigureDelivery (stop
// delivery, change, resize the buffer, restart in triggered mode, all under
// the pull lock). Resolution, pixel format, binning and a rotation that swaps
// width and height are refused with 30 while a sequence runs; a region change
// is accepted then and the running sequence keeps its delivery mode. Flips,
// bin-or-skip and the binning method are written straight to the camera.
//
// Threads: every function here runs on the host's calling thread; property
// handlers run under the device's property lock.

#include <string>

#include "camera/Camera.h"
#include "camera/conversions.h"
#include "camera/family_support.h"
#include "camera/image_format.h"

using camera::DecimalText;
using camera::IndexOf;
using camera::ReadOption;
using camera::WithoutCamera;

namespace {

constexpr int32_t kBinningFactorMask = 0x0F;    // bits 0-3: factor 1 to 8
constexpr int32_t kBinningAverageBit = 0x80;    // bit 7: average instead of add
constexpr int32_t kBinningAboveOneMask = 0x0E;  // bits 1-3: some factor above 1
constexpr uint32_t kMinimumRegionSide = 32;
// More pixel formats than the vendor defines cannot be genuine; the bound keeps
// a broken count from stalling initialisation.
constexpr int32_t kMaxReportedPixelFormats = 64;

std::string ResolutionText(const pyxon::Resolution& resolution) {
  return camera::UnsignedText(resolution.width) + " x " + camera::UnsignedText(resolution.height);
}

// Rotations by 0 and 180 degrees keep width and height; so do changes between
// 90 and 270. Anything else swaps them.
bool KeepsOrientationClass(int32_t from, int32_t to) {
  const bool fromUpright = from == 0 || from == 180;
  if (fromUpright) return to == 0 || to == 180;
  return to == 90 || to == 270;
}

// Mirrors one coordinate of a region onto the unflipped sensor. A region that
// reaches past the sensor edge starts at 0 instead of wrapping around.
uint32_t MirrorCoordinate(uint32_t full, uint32_t offset, uint32_t length) {
  const uint64_t end = static_cast<uint64_t>(offset) + length;
  return end >= full ? 0 : full - static_cast<uint32_t>(end);
}

}  // namespace

// ---- resolution table ---------------------------------------------------------

uint32_t Camera::ResolutionCount() const {
  const pyxon::CameraModel* model = Model();
  if (model == nullptr) return 0;
  return model->resolutionCount < pyxon::kMaxResolutions ? model->resolutionCount
                                                         : pyxon::kMaxResolutions;
}

const pyxon::Resolution* Camera::CurrentResolution() const {
  if (resolutionIndex_ >= ResolutionCount()) return nullptr;
  return &Model()->resolutions[resolutionIndex_];
}

// ---- "Resolution" ---------------------------------------------------------------

void Camera::CreateResolutionProperty() {
  std::vector<std::string> texts;
  for (uint32_t i = 0; i < ResolutionCount(); ++i) {
    texts.push_back(ResolutionText(Model()->resolutions[i]));
  }
  const pyxon::Resolution* current = CurrentResolution();
  const std::string value = current ? ResolutionText(*current) : std::string();
  CreateStringProperty("Resolution", value.c_str(), false,
                       new MM::Action<Camera>(this, &Camera::OnResolution));
  SetAllowedValues("Resolution", texts);
}

int Camera::OnResolution(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    if (const pyxon::Resolution* current = CurrentResolution()) {
      property->Set(ResolutionText(*current).c_str());
    }
    return MM::Err::Ok;
  }
  if (kind != MM::AfterWrite) return MM::Err::Ok;

  std::string text;
  property->Get(text);
  uint32_t index = resolutionIndex_;
  for (uint32_t i = 0; i < ResolutionCount(); ++i) {
    if (ResolutionText(Model()->resolutions[i]) == text) {
      index = i;
      break;
    }
  }
  if (index == resolutionIndex_) return MM::Err::Ok;
  if (IsCapturing()) return MM::Err::CameraBusy;
  const int result = ReconfigureDelivery([&] {
    resolutionIndex_ = index;
    handle->SetResolutionIndex(index);
  });
  if (result != MM::Err::Ok) return result;
  RefreshExposureLimits();
  return MM::Err::Ok;
}

// ---- "PixelType" ----------------------------------------------------------------

std::string Camera::CurrentPixelTypeName(pyxon::CameraHandle* handle) {
  const camera::PixelFormat* format =
      camera::FindPixelFormat(ReadOption(handle, pyxon::opt::kPixelFormat, 0).value);
  return format ? format->name : std::string();
}

void Camera::CreatePixelTypeProperty() {
  pyxon::CameraHandle* const handle = Handle();
  pixelTypes_.clear();
  int32_t count = 0;
  handle->GetPixelFormatSupport(-1, &count);
  if (count > kMaxReportedPixelFormats) count = kMaxReportedPixelFormats;
  for (int32_t position = 0; position < count; ++position) {
    int32_t index = -1;
    handle->GetPixelFormatSupport(position, &index);
    // An index outside the vendor's table names no format; leave it out.
    if (const camera::PixelFormat* format = camera::FindPixelFormat(index)) {
      pixelTypes_.push_back(format->name);
    }
  }
  CreateStringProperty("PixelType", CurrentPixelTypeName(handle).c_str(), false,
                       new MM::Action<Camera>(this, &Camera::OnPixelType));
  SetAllowedValues("PixelType", pixelTypes_);
}

int Camera::OnPixelType(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    const std::string name = CurrentPixelTypeName(handle);
    if (!name.empty()) property->Set(name.c_str());
    return MM::Err::Ok;
  }
  if (kind != MM::AfterWrite) return MM::Err::Ok;

  std::string name;
  property->Get(name);
  if (name == CurrentPixelTypeName(handle)) return MM::Err::Ok;
  if (IsCapturing()) return MM::Err::CameraBusy;
  int32_t index = -1;
  for (size_t i = 0; i < camera::kPixelFormatCount; ++i) {
    if (name == camera::kPixelFormatTable[i].name) {
      index = static_cast<int32_t>(i);
      break;
    }
  }
  if (index < 0) return MM::Err::Ok;
  const int result = ReconfigureDelivery([&] {
    handle->SetOption(pyxon::opt::kPixelFormat, index);
    SelectOutputFormat();
  });
  if (result != MM::Err::Ok) return result;
  RefreshExposureLimits();
  return MM::Err::Ok;
}

// ---- bin-or-skip, flips -----------------------------------------------------------

void Camera::CreateBinSkipProperty() {
  pyxon::CameraHandle* const handle = Handle();
  int32_t skip = 0;
  if (handle->GetSkipMode(&skip) < 0) return;
  CreateStringProperty("Mode", skip > 0 ? "Skip" : "Bin", false,
                       new MM::Action<Camera>(this, &Camera::OnBinSkipMode));
  SetAllowedValues("Mode", {"Bin", "Skip"});
}

int Camera::OnBinSkipMode(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    int32_t skip = 0;
    handle->GetSkipMode(&skip);
    property->Set(skip != 0 ? "Skip" : "Bin");
  } else if (kind == MM::AfterWrite) {
    std::string mode;
    property->Get(mode);
    handle->SetSkipMode(mode == "Skip" ? 1 : 0);
  }
  return MM::Err::Ok;
}

void Camera::CreateFlipProperties() {
  CreateStringProperty("FlipHorizontal", "OFF", false,
                       new MM::Action<Camera>(this, &Camera::OnFlipHorizontal));
  SetAllowedValues("FlipHorizontal", onOff_);
  CreateStringProperty("FlipVertical", "OFF", false,
                       new MM::Action<Camera>(this, &Camera::OnFlipVertical));
  SetAllowedValues("FlipVertical", onOff_);
}

int Camera::OnFlipHorizontal(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    int32_t on = 0;
    handle->GetHorizontalFlip(&on);
    property->Set(camera::OnOffText(on));
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    const int index = IndexOf(onOff_, value);
    if (index >= 0) handle->SetHorizontalFlip(index);
  }
  return MM::Err::Ok;
}

int Camera::OnFlipVertical(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    int32_t on = 0;
    handle->GetVerticalFlip(&on);
    property->Set(camera::OnOffText(on));
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    const int index = IndexOf(onOff_, value);
    if (index >= 0) handle->SetVerticalFlip(index);
  }
  return MM::Err::Ok;
}

// ---- binning --------------------------------------------------------------------

void Camera::CreateBinningProperties() {
  pyxon::CameraHandle* const handle = Handle();
  const int32_t binning = ReadOption(handle, pyxon::opt::kBinning, 0).value;
  CreateStringProperty("Binning", DecimalText(binning & kBinningFactorMask).c_str(), false,
                       new MM::Action<Camera>(this, &Camera::OnBinning));
  SetAllowedValues("Binning", {"1", "2", "3", "4", "5", "6", "7", "8"});

  binningAverage_ = (binning & kBinningAverageBit) != 0;
  CreateStringProperty("BinningMethod", binningAverage_ ? "Average" : "Add", false,
                       new MM::Action<Camera>(this, &Camera::OnBinningMethod));
  SetAllowedValues("BinningMethod", {"Average", "Add"});
}

int Camera::SetBinning(int factor) {
  if (factor < 1 || factor > 8) return MM::Err::InvalidPropertyValue;
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return MM::Err::NoCommunication;
  const int32_t current = ReadOption(handle, pyxon::opt::kBinning, 1).value;
  const int32_t requested = factor | (binningAverage_ ? kBinningAverageBit : 0);
  if (requested == current) return MM::Err::Ok;
  if (IsCapturing()) return MM::Err::CameraBusy;
  const int result =
      ReconfigureDelivery([&] { handle->SetOption(pyxon::opt::kBinning, requested); });
  if (result != MM::Err::Ok) return result;
  OnPropertyChanged("Binning");
  return MM::Err::Ok;
}

int Camera::OnBinning(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    const int32_t binning = ReadOption(handle, pyxon::opt::kBinning, 0).value;
    property->Set(DecimalText(binning & kBinningFactorMask).c_str());
    return MM::Err::Ok;
  }
  if (kind != MM::AfterWrite) return MM::Err::Ok;
  std::string value;
  property->Get(value);
  // A refusal (a running sequence) reaches the host instead of a silent
  // success with the camera unchanged.
  return SetBinning(camera::SaturateIntCast<int>(camera::ParseDecimal(value)));
}

int Camera::OnBinningMethod(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    property->Set(binningAverage_ ? "Average" : "Add");
    return MM::Err::Ok;
  }
  if (kind != MM::AfterWrite) return MM::Err::Ok;
  std::string method;
  property->Get(method);
  binningAverage_ = method == "Average";
  const int32_t current = ReadOption(handle, pyxon::opt::kBinning, 1).value;
  // At factor 1 the method only matters for the next binning change.
  if ((current & kBinningAboveOneMask) == 0) return MM::Err::Ok;
  const int32_t updated =
      (binningAverage_ ? kBinningAverageBit : 0) | (current & kBinningFactorMask);
  if (updated != current) handle->SetOption(pyxon::opt::kBinning, updated);
  return MM::Err::Ok;
}

// ---- rotation -------------------------------------------------------------------

void Camera::CreateRotateProperty() {
  pyxon::CameraHandle* const handle = Handle();
  const int32_t angle = ReadOption(handle, pyxon::opt::kRotate, 0).value;
  CreateStringProperty("Rotate", DecimalText(angle).c_str(), false,
                       new MM::Action<Camera>(this, &Camera::OnRotate));
  SetAllowedValues("Rotate", {"0", "90", "180", "270"});
}

int Camera::OnRotate(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    property->Set(DecimalText(ReadOption(handle, pyxon::opt::kRotate, 0).value).c_str());
    return MM::Err::Ok;
  }
  if (kind != MM::AfterWrite) return MM::Err::Ok;
  std::string value;
  property->Get(value);
  const int32_t to = camera::SaturateIntCast<int32_t>(camera::ParseDecimal(value));
  const int32_t from = ReadOption(handle, pyxon::opt::kRotate, 0).value;
  if (to == from) return MM::Err::Ok;
  if (KeepsOrientationClass(from, to)) {
    handle->SetOption(pyxon::opt::kRotate, to);
    return MM::Err::Ok;
  }
  if (IsCapturing()) return MM::Err::CameraBusy;
  return ReconfigureDelivery([&] { handle->SetOption(pyxon::opt::kRotate, to); });
}

// ---- region of interest -----------------------------------------------------------

int Camera::SetROI(unsigned x, unsigned y, unsigned width, unsigned height) {
  if (width == 0 && height == 0) return ClearROI();
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return MM::Err::NoCommunication;

  const pyxon::Resolution* full = CurrentResolution();
  const uint32_t fullWidth = full ? full->width : 0;
  const uint32_t fullHeight = full ? full->height : 0;
  if (width < kMinimumRegionSide) width = kMinimumRegionSide;
  if (height < kMinimumRegionSide) height = kMinimumRegionSide;
  x &= ~1u;
  y &= ~1u;
  width &= ~1u;
  height &= ~1u;

  // The host sees the flipped image; the camera wants sensor coordinates.
  int32_t vertical = 0;
  int32_t horizontal = 0;
  handle->GetVerticalFlip(&vertical);
  handle->GetHorizontalFlip(&horizontal);
  if (vertical != 0) y = MirrorCoordinate(fullHeight, y, height);
  if (horizontal != 0) x = MirrorCoordinate(fullWidth, x, width);

  // Two captures fit in std::function's own storage, so a region change,
  // which may come between any two frames of a sequence, allocates nothing.
  const unsigned region[4] = {x, y, width, height};
  return ReconfigureDelivery(
      [handle, &region] { handle->SetRoi(region[0], region[1], region[2], region[3]); });
}

int Camera::GetROI(unsigned& x, unsigned& y, unsigned& width, unsigned& height) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) {
    x = y = width = height = 0;
    return MM::Err::NoCommunication;
  }
  handle->GetRoi(&x, &y, &width, &height);
  return MM::Err::Ok;
}

int Camera::ClearROI() {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return MM::Err::NoCommunication;
  return ReconfigureDelivery([&] { handle->SetRoi(0, 0, 0, 0); });
}
