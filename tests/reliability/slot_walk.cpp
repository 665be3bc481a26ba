#include "tests/reliability/slot_walk.h"

#include <cmath>
#include <cstring>
#include <set>
#include <sstream>

#include "framework/metadata.h"
#include "tests/reliability/reliability_support.h"

namespace reltest {
namespace {

constexpr const char* kUnknown = "NoSuchProperty";
constexpr const char* kReadOnlyName = "Description";
constexpr const char* kListName = "TransposeXY";

class Walk {
 public:
  Walk(MM::Camera* camera, const WalkState& state, HostCallback* host)
      : camera_(camera), state_(state), host_(host) {}

  std::vector<std::string> Run();

 private:
  template <class Sig, class... Args>
  auto Call(int slot, Args&&... args) {
    called_.insert(slot);
    return Slot<Sig>(camera_, slot, std::forward<Args>(args)...);
  }

  template <class T, class U>
  void Expect(int slot, const char* what, const T& actual, const U& expected) {
    if (actual == expected) return;
    std::ostringstream text;
    text << "slot " << slot << " " << what << ": got " << actual << ", expected " << expected;
    problems_.push_back(text.str());
  }
  void ExpectTrue(int slot, const char* what, bool condition) {
    if (!condition) problems_.push_back("slot " + std::to_string(slot) + " " + what);
  }
  template <class T>
  void ExpectIn(int slot, const char* what, const T& actual, std::set<T> allowed) {
    if (allowed.count(actual) != 0) return;
    std::ostringstream text;
    text << "slot " << slot << " " << what << ": unexpected " << actual;
    problems_.push_back(text.str());
  }

  void PropertySlots();
  void SequenceSlots();
  void DeviceTextSlots();
  void ImageSlots();
  void GeometrySlots();
  void CameraBaseSlots();
  void TagSlots();

  MM::Camera* camera_;
  WalkState state_;
  HostCallback* host_;
  std::set<int> called_;
  std::vector<std::string> problems_;
};

std::vector<std::string> Walk::Run() {
  PropertySlots();
  SequenceSlots();
  DeviceTextSlots();
  ImageSlots();
  GeometrySlots();
  CameraBaseSlots();
  TagSlots();
  for (int slot = 2; slot <= slot::kLastSlot; ++slot) {
    if (!IsTransitionSlot(slot) && called_.count(slot) == 0) {
      problems_.push_back("walk misses slot " + std::to_string(slot));
    }
  }
  return problems_;
}

void Walk::PropertySlots() {
  char buffer[MM::kMaxHostText];
  const unsigned count = Call<unsigned()>(2);
  ExpectTrue(2, "counts at least the construction properties", count >= 5);

  std::memset(buffer, 0, sizeof buffer);
  Expect(3, "get Description", Call<int(const char*, char*)>(3, kReadOnlyName, buffer), 0);
  ExpectTrue(3, "Description text", std::strstr(buffer, " Camera") != nullptr);
  Expect(3, "get unknown", Call<int(const char*, char*)>(3, kUnknown, buffer), 2);

  Expect(4, "set list value", Call<int(const char*, const char*)>(4, kListName, "1"), 0);
  Expect(4, "set value outside the list", Call<int(const char*, const char*)>(4, kListName, "7"),
         3);
  Expect(4, "set unknown", Call<int(const char*, const char*)>(4, kUnknown, "1"), 2);
  Expect(4, "restore list value", Call<int(const char*, const char*)>(4, kListName, "0"), 0);
  Expect(4, "set read-only", Call<int(const char*, const char*)>(4, kReadOnlyName, "x"), 0);
  Call<int(const char*, char*)>(3, kReadOnlyName, buffer);
  ExpectTrue(4, "read-only value unchanged", std::strcmp(buffer, "x") != 0);

  Expect(5, "has Description", Call<bool(const char*)>(5, kReadOnlyName), true);
  Expect(5, "has unknown", Call<bool(const char*)>(5, kUnknown), false);
  Expect(6, "name 0", Call<bool(unsigned, char*)>(6, 0u, buffer), true);
  Expect(6, "name at count", Call<bool(unsigned, char*)>(6, count, buffer), false);
  Expect(6, "name far out", Call<bool(unsigned, char*)>(6, 1u << 30, buffer), false);

  bool flag = false;
  Expect(7, "read-only of Description", Call<int(const char*, bool&)>(7, kReadOnlyName, flag), 0);
  Expect(7, "Description is read-only", flag, true);
  Expect(7, "read-only of unknown", Call<int(const char*, bool&)>(7, kUnknown, flag), 2);
  Expect(8, "pre-init", Call<int(const char*, bool&)>(8, kReadOnlyName, flag), 0);
  Expect(8, "not pre-init", flag, false);
  Expect(8, "pre-init of unknown", Call<int(const char*, bool&)>(8, kUnknown, flag), 2);
  Expect(9, "has limits", Call<int(const char*, bool&)>(9, kListName, flag), 0);
  Expect(9, "list property has no limits", flag, false);
  Expect(9, "has limits of unknown", Call<int(const char*, bool&)>(9, kUnknown, flag), 2);
  double limit = -1.0;
  Expect(10, "lower limit", Call<int(const char*, double&)>(10, kListName, limit), 0);
  Expect(10, "lower limit value", limit, 0.0);
  Expect(10, "lower of unknown", Call<int(const char*, double&)>(10, kUnknown, limit), 2);
  limit = -1.0;
  Expect(11, "upper limit", Call<int(const char*, double&)>(11, kListName, limit), 0);
  Expect(11, "upper limit value", limit, 0.0);
  Expect(11, "upper of unknown", Call<int(const char*, double&)>(11, kUnknown, limit), 2);
  int type = 0;
  Expect(12, "type", Call<int(const char*, int&)>(12, kReadOnlyName, type), 0);
  Expect(12, "string type", type, 1);
  Expect(12, "type of unknown", Call<int(const char*, int&)>(12, kUnknown, type), 2);
  Expect(13, "value count", Call<unsigned(const char*)>(13, kListName), 2u);
  Expect(13, "value count of unknown", Call<unsigned(const char*)>(13, kUnknown), 0u);
  Expect(14, "value 1", Call<bool(const char*, unsigned, char*)>(14, kListName, 1u, buffer), true);
  Expect(14, "value 1 text", std::string(buffer), std::string("1"));
  Expect(14, "value at count", Call<bool(const char*, unsigned, char*)>(14, kListName, 2u, buffer),
         false);
  Expect(14, "value of unknown", Call<bool(const char*, unsigned, char*)>(14, kUnknown, 0u, buffer),
         false);
}

void Walk::SequenceSlots() {
  bool sequenceable = true;
  Expect(15, "sequenceable", Call<int(const char*, bool&)>(15, kListName, sequenceable), 0);
  Expect(15, "not sequenceable", sequenceable, false);
  Expect(15, "unknown", Call<int(const char*, bool&)>(15, kUnknown, sequenceable), 2);
  long length = 0;
  Expect(16, "max length", Call<int(const char*, long&)>(16, kListName, length), 38);
  Expect(16, "unknown", Call<int(const char*, long&)>(16, kUnknown, length), 2);
  for (int slot : {17, 18, 19, 21}) {
    Expect(slot, "not sequenceable", Call<int(const char*)>(slot, kListName), 38);
    Expect(slot, "unknown", Call<int(const char*)>(slot, kUnknown), 2);
  }
  Expect(20, "add", Call<int(const char*, const char*)>(20, kListName, "1"), 38);
  Expect(20, "unknown", Call<int(const char*, const char*)>(20, kUnknown, "1"), 2);

  char buffer[MM::kMaxHostText];
  Call<int(const char*, const char*)>(4, kListName, "7");
  Expect(22, "text of 3", Call<bool(int, char*)>(22, 3, buffer), true);
  Expect(22, "text of 3 names the property", std::string(buffer),
         std::string("Invalid property value: ") + kListName);
  Expect(22, "text of an unknown code",
         Call<bool(int, char*)>(22, static_cast<int>(0x8000000Au), buffer), false);
  Expect(22, "unknown code text", std::string(buffer),
         std::string("Error code -2147483638 (8000000a hex)"));
}

void Walk::DeviceTextSlots() {
  Expect(23, "busy", Call<bool()>(23), false);
  const double delay = Call<double()>(24);
  Call<void(double)>(25, 12.5);
  Expect(24, "delay", Call<double()>(24), 12.5);
  Call<void(double)>(25, delay);
  Expect(26, "uses delay", Call<bool()>(26), false);
  void* handle = Call<void*()>(27);
  int marker = 0;
  Call<void(void*)>(28, static_cast<void*>(&marker));
  Expect(27, "module handle", Call<void*()>(27), static_cast<void*>(&marker));
  Call<void(void*)>(28, handle);

  char buffer[MM::kMaxHostText];
  const std::string longText(2000, 'L');
  for (int setter : {29, 31, 33, 42}) {
    const int getter = setter + 1;
    char previous[MM::kMaxHostText] = {};
    Call<void(char*)>(getter, previous);
    Call<void(const char*)>(setter, longText.c_str());
    std::memset(buffer, 'z', sizeof buffer);
    Call<void(char*)>(getter, buffer);
    ExpectTrue(getter, "long text cut to 1023 characters and terminated",
               buffer[MM::kMaxHostText - 1] == '\0' && std::strlen(buffer) == MM::kMaxHostText - 1);
    Call<void(const char*)>(setter, previous);
    Call<void(char*)>(getter, buffer);
    Expect(getter, "text restored", std::string(buffer), std::string(previous));
  }
  Expect(37, "device type", Call<int()>(37), 2);
  Call<void(char*)>(38, buffer);
  Expect(38, "device name", std::string(buffer), std::string(state_.moduleReady ? "PyxonCam" : ""));
  Call<void(HostCallback*)>(39, host_);
  Expect(40, "acquisition before", Call<int()>(40), 0);
  Expect(41, "acquisition after", Call<int()>(41), -2);
}

void Walk::ImageSlots() {
  const int snap = Call<int()>(44);
  if (state_.capturing) {
    ExpectIn(44, "snap while capturing", snap, {0, 1});
  } else if (state_.open) {
    Expect(44, "snap", snap, 0);
    ExpectTrue(44, "snapped frame carries an intact stamp", SnappedStamp(camera_) != 0);
  } else {
    Expect(44, "snap without a camera", snap, 1);
  }
  const unsigned char* pixels = Call<const unsigned char*()>(45);
  if (state_.open && !state_.capturing) ExpectTrue(45, "buffer after a snap", pixels != nullptr);
  // The buffer may be replaced by a region change of the running sequence's
  // restarts only on this thread; it is stable here.
  Expect(46, "channel 0 buffer",
         static_cast<const void*>(Call<const unsigned char*(unsigned)>(46, 0u)),
         static_cast<const void*>(Call<const unsigned char*()>(45)));
  Expect(46, "channel 5 buffer",
         static_cast<const void*>(Call<const unsigned char*(unsigned)>(46, 5u)),
         static_cast<const void*>(Call<const unsigned char*()>(45)));
  Expect(47, "RGB32 buffer", static_cast<const void*>(Call<const unsigned int*()>(47)),
         static_cast<const void*>(nullptr));
  ExpectIn(48, "components", Call<unsigned()>(48), {1u, 4u});
  char buffer[MM::kMaxHostText];
  Expect(49, "component 0", Call<int(unsigned, char*)>(49, 0u, buffer), 0);
  Expect(49, "component 0 name", std::string(buffer), std::string("Grayscale"));
  Expect(49, "component 1", Call<int(unsigned, char*)>(49, 1u, buffer), 23);
  Expect(50, "channels", Call<int()>(50), 1);
  std::strcpy(buffer, "junk");
  Expect(51, "channel name", Call<int(unsigned, char*)>(51, 0u, buffer), 0);
  Expect(51, "channel name text", std::string(buffer), std::string());

  if (!state_.capturing) {
    const unsigned width = Call<unsigned()>(53);
    const unsigned height = Call<unsigned()>(54);
    const unsigned bytes = Call<unsigned()>(55);
    Expect(52, "buffer size", Call<long()>(52), static_cast<long>(width) * height * bytes);
    if (state_.open) ExpectIn(55, "bytes per pixel", bytes, {1u, 2u, 4u, 8u});
  } else {
    Call<long()>(52);
    Call<unsigned()>(53);
    Call<unsigned()>(54);
    Call<unsigned()>(55);
  }
  const unsigned bits = Call<unsigned()>(56);
  ExpectTrue(56, "bit depth 8 to 64", bits >= 8 && bits <= 64);
  const double pixelSize = Call<double()>(57);
  ExpectTrue(57, "pixel size finite, not negative", std::isfinite(pixelSize) && pixelSize >= 0);
}

void Walk::GeometrySlots() {
  const int binning = Call<int()>(58);
  ExpectTrue(58, "binning 1 to 8", binning >= 1 && binning <= 8);
  Expect(59, "binning 0", Call<int(int)>(59, 0), 3);
  Expect(59, "binning 9", Call<int(int)>(59, 9), 3);
  Expect(59, "binning -1", Call<int(int)>(59, -1), 3);
  const int same = Call<int(int)>(59, binning);
  if (state_.open) {
    Expect(59, "current binning", same, 0);
  } else {
    ExpectIn(59, "binning without a camera", same, {0, 35});
  }
  if (state_.capturing) {
    Expect(59, "binning change while capturing", Call<int(int)>(59, binning == 2 ? 1 : 2), 30);
  }

  const double exposure = Call<double()>(61);
  ExpectTrue(61, "exposure finite, not negative", std::isfinite(exposure) && exposure >= 0);
  Call<void(double)>(60, exposure);
  if (state_.open) Expect(61, "exposure unchanged", Call<double()>(61), exposure);
  // Values the camera cannot hold are ignored, not wrapped.
  Call<void(double)>(60, -5.0);
  Call<void(double)>(60, std::nan(""));
  Call<void(double)>(60, 1e300);
  if (state_.open) Expect(60, "nonsense exposures ignored", Call<double()>(61), exposure);

  using Roi = int(unsigned, unsigned, unsigned, unsigned);
  using RoiOut = int(unsigned&, unsigned&, unsigned&, unsigned&);
  unsigned x = 1, y = 1, w = 1, h = 1;
  const int get = Call<RoiOut>(63, x, y, w, h);
  ExpectIn(63, "region", get, {0, 35});
  const int clear = Call<int()>(64);
  const int set = Call<Roi>(62, 0u, 0u, 64u, 64u);
  // Out of the sensor: the camera keeps what it can, the device must not fail.
  const int outside = Call<Roi>(62, 0xFFFFFF00u, 0xFFFFFF00u, 0xFFFFu, 0xFFFFu);
  const int restore = Call<Roi>(62, 0u, 0u, 64u, 64u);
  if (state_.open) {
    Expect(64, "clear region", clear, 0);
    Expect(62, "set region", set, 0);
    ExpectIn(62, "region outside the sensor", outside, {0, 3});
    Expect(62, "restore region", restore, 0);
  } else {
    ExpectIn(64, "clear region without a camera", clear, {0, 35});
    ExpectIn(62, "set region without a camera", set, {0, 35});
    ExpectIn(62, "outside without a camera", outside, {0, 3, 35});
    ExpectIn(62, "restore without a camera", restore, {0, 35});
  }
}

void Walk::CameraBaseSlots() {
  Expect(65, "multiple regions", Call<bool()>(65), false);
  Expect(66, "multiple regions set", Call<bool()>(66), false);
  unsigned count = 0;
  Expect(67, "region count", Call<int(unsigned&)>(67, count), 11);
  unsigned values[1] = {0};
  Expect(68, "set regions",
         Call<int(const unsigned*, const unsigned*, const unsigned*, const unsigned*, unsigned)>(
             68, values, values, values, values, 1u),
         11);
  Expect(69, "get regions",
         Call<int(unsigned*, unsigned*, unsigned*, unsigned*, unsigned*)>(69, values, values,
                                                                          values, values, &count),
         11);
  Expect(73, "prepare", Call<int()>(73), 0);
  Expect(74, "capturing", Call<bool()>(74), state_.capturing);
  char buffer[MM::kMaxHostText];
  std::strcpy(buffer, "junk");
  Expect(78, "text report", Call<int(char*)>(78, buffer), 0);
  Expect(78, "text report text", std::string(buffer), std::string());
  bool flag = true;
  long length = 0;
  Expect(79, "exposure sequenceable", Call<int(bool&)>(79, flag), 11);
  Expect(80, "exposure sequence length", Call<int(long&)>(80, length), 11);
  Expect(81, "start exposure sequence", Call<int()>(81), 11);
  Expect(82, "stop exposure sequence", Call<int()>(82), 11);
  Expect(83, "clear exposure sequence", Call<int()>(83), 11);
  Expect(84, "add to exposure sequence", Call<int(double)>(84, 10.0), 11);

  // The run step and insert, as the sequence thread calls them.
  const int run = Call<int()>(87);
  if (state_.open && !state_.capturing) {
    Expect(87, "run step when idle", run, 0);
  } else {
    ExpectIn(87, "run step", run, {0, 1, 22});
  }
  ExpectIn(88, "insert", Call<int()>(88), {0, 22});
  const double interval = Call<double()>(89);
  ExpectTrue(89, "interval finite", std::isfinite(interval));
  ExpectTrue(90, "image counter not negative", Call<long()>(90) >= 0);
  Call<long()>(91);
  Call<void()>(92);
  const bool overflow = Call<bool()>(93);
  Call<void(bool)>(94, !overflow);
  Expect(93, "stop on overflow", Call<bool()>(93), !overflow);
  Call<void(bool)>(94, overflow);
}

void Walk::TagSlots() {
  Call<void(const char*, const char*, const char*)>(76, "Walk", "_", "one");
  Call<void(const char*, const char*, const char*)>(76, "Walk", "Dev", "two");
  std::vector<std::string> keys = Call<std::vector<std::string>()>(85);
  Expect(85, "keys", keys.size(), size_t{2});
  char buffer[MM::kMaxHostText] = {};
  Call<void(char*)>(75, buffer);
  // Key order: "Dev-Walk" before "Walk"; each tag: type, name, label, read-only, value.
  Expect(75, "tags text", std::string(buffer),
         std::string("2\ns\nWalk\nDev\n1\ntwo\ns\nWalk\n_\n1\none\n"));
  Expect(86, "value", Call<std::string(const char*)>(86, "Dev-Walk"), std::string("two"));
  bool threw = false;
  try {
    Call<std::string(const char*)>(86, "Missing");
  } catch (const MetadataKeyError& error) {
    threw = error.GetMessage() == "Undefined metadata key";
  } catch (...) {
  }
  ExpectTrue(86, "missing key raises MetadataKeyError", threw);
  Call<void(const char*)>(77, "Walk");
  Call<void(const char*)>(77, "Dev-Walk");
  Call<void(const char*)>(77, "Nothing");
  Expect(77, "keys after removal", Call<std::vector<std::string>()>(85).size(), size_t{0});
}

}  // namespace

bool IsTransitionSlot(int slot) {
  return slot == 0 || slot == 1 || slot == slot::kInitialize || slot == slot::kShutdown ||
         slot == slot::kStartSequence || slot == slot::kStartContinuous ||
         slot == slot::kStopSequence;
}

std::vector<std::string> WalkSlots(MM::Camera* camera, const WalkState& state, HostCallback* host) {
  return Walk(camera, state, host).Run();
}

int WalkedSlotCount() {
  int count = 0;
  for (int slot = 2; slot <= slot::kLastSlot; ++slot) count += IsTransitionSlot(slot) ? 0 : 1;
  return count;
}

}  // namespace reltest
