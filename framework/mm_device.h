// The host's device interface and callback object, as the host lays them out.
//
// The host calls every operation by its position in the table of virtual
// functions (the slot). The slot of each declaration is written beside it;
// never reorder, insert or remove a declaration. The virtual destructor takes
// slots 0 and 1 (complete and deleting destructor).
#pragma once

#include <string>
#include <vector>

namespace MM {

constexpr int kDeviceInterfaceVersion = 71;
constexpr int kModuleVersion = 10;
constexpr int kCameraDeviceType = 2;     // host's code for a camera device
constexpr unsigned kMaxHostText = 1024;  // size of every text buffer the host passes

enum PropertyType { Undef = 0, String = 1, Float = 2, Integer = 3 };

enum ActionKind {
  NoAction = 0,
  BeforeRead = 1,
  AfterWrite = 2,
  QuerySequenceable = 3,
  SequenceLoaded = 4,
  SequenceStart = 5,
  SequenceStop = 6,
};

class Device;

}  // namespace MM

// The host's callback object. Positions not used by a device are placeholders.
class HostCallback {
 public:
  virtual ~HostCallback() = default;                                                       // 0, 1
  virtual int LogMessage(const MM::Device* caller, const char* text, bool debugOnly) = 0;  // 2
  virtual void HostReserved3() {}                                                          // 3
  virtual void HostReserved4() {}                                                          // 4
  virtual void HostReserved5() {}                                                          // 5
  virtual void HostReserved6() {}                                                          // 6
  virtual void HostReserved7() {}                                                          // 7
  virtual void HostReserved8() {}                                                          // 8
  virtual void HostReserved9() {}                                                          // 9
  virtual void HostReserved10() {}                                                         // 10
  virtual void HostReserved11() {}                                                         // 11
  virtual void HostReserved12() {}                                                         // 12
  virtual void HostReserved13() {}                                                         // 13
  virtual void HostReserved14() {}                                                         // 14
  virtual int OnPropertyChanged(const MM::Device* caller, const char* name,
                                const char* value) = 0;                              // 15
  virtual void HostReserved16() {}                                                   // 16
  virtual void HostReserved17() {}                                                   // 17
  virtual int OnExposureChanged(const MM::Device* caller, double milliseconds) = 0;  // 18
  virtual void HostReserved19() {}                                                   // 19
  virtual void HostReserved20() {}                                                   // 20
  virtual void HostReserved21() {}                                                   // 21
  virtual void HostReserved22() {}                                                   // 22
  virtual int AcquisitionFinished(const MM::Device* caller, int status) = 0;         // 23
  virtual int PrepareForAcquisition(const MM::Device* caller) = 0;                   // 24
  virtual void HostReserved25() {}                                                   // 25
  virtual void HostReserved26() {}                                                   // 26
  virtual void HostReserved27() {}                                                   // 27
  virtual int InsertImage(const MM::Device* caller, const unsigned char* pixels, unsigned width,
                          unsigned height, unsigned bytesPerPixel, const char* metadata,
                          bool process) = 0;                    // 28
  virtual void ClearImageBuffer(const MM::Device* caller) = 0;  // 29
};

namespace MM {

// Slots 0 to 43: every device.
class Device {
 public:
  virtual ~Device() = default;                                                               // 0, 1
  virtual unsigned GetNumberOfProperties() const = 0;                                        // 2
  virtual int GetProperty(const char* name, char* value) const = 0;                          // 3
  virtual int SetProperty(const char* name, const char* value) = 0;                          // 4
  virtual bool HasProperty(const char* name) const = 0;                                      // 5
  virtual bool GetPropertyName(unsigned index, char* name) const = 0;                        // 6
  virtual int GetPropertyReadOnly(const char* name, bool& readOnly) const = 0;               // 7
  virtual int GetPropertyInitStatus(const char* name, bool& preInit) const = 0;              // 8
  virtual int HasPropertyLimits(const char* name, bool& hasLimits) const = 0;                // 9
  virtual int GetPropertyLowerLimit(const char* name, double& lower) const = 0;              // 10
  virtual int GetPropertyUpperLimit(const char* name, double& upper) const = 0;              // 11
  virtual int GetPropertyType(const char* name, int& type) const = 0;                        // 12
  virtual unsigned GetNumberOfPropertyValues(const char* name) const = 0;                    // 13
  virtual bool GetPropertyValueAt(const char* name, unsigned index, char* value) const = 0;  // 14
  virtual int IsPropertySequenceable(const char* name, bool& sequenceable) const = 0;        // 15
  virtual int GetPropertySequenceMaxLength(const char* name, long& maxLength) const = 0;     // 16
  virtual int StartPropertySequence(const char* name) = 0;                                   // 17
  virtual int StopPropertySequence(const char* name) = 0;                                    // 18
  virtual int ClearPropertySequence(const char* name) = 0;                                   // 19
  virtual int AddToPropertySequence(const char* name, const char* value) = 0;                // 20
  virtual int SendPropertySequence(const char* name) = 0;                                    // 21
  virtual bool GetErrorText(int code, char* text) const = 0;                                 // 22
  virtual bool Busy() = 0;                                                                   // 23
  virtual double GetDelayMs() const = 0;                                                     // 24
  virtual void SetDelayMs(double delay) = 0;                                                 // 25
  virtual bool UsesDelay() = 0;                                                              // 26
  virtual void* GetModuleHandle() const = 0;                                                 // 27
  virtual void SetModuleHandle(void* handle) = 0;                                            // 28
  virtual void SetLabel(const char* label) = 0;                                              // 29
  virtual void GetLabel(char* label) const = 0;                                              // 30
  virtual void SetModuleName(const char* name) = 0;                                          // 31
  virtual void GetModuleName(char* name) const = 0;                                          // 32
  virtual void SetDescription(const char* description) = 0;                                  // 33
  virtual void GetDescription(char* description) const = 0;                                  // 34
  virtual int Initialize() = 0;                                                              // 35
  virtual int Shutdown() = 0;                                                                // 36
  virtual int GetType() const = 0;                                                           // 37
  virtual void GetName(char* name) const = 0;                                                // 38
  virtual void SetCallback(HostCallback* callback) = 0;                                      // 39
  virtual int AcquisitionBefore() = 0;                                                       // 40
  virtual int AcquisitionAfter() = 0;                                                        // 41
  virtual void SetParentID(const char* parentId) = 0;                                        // 42
  virtual void GetParentID(char* parentId) const = 0;                                        // 43
};

// Slots 44 to 86: cameras. The camera base adds slots 87 to 94.
class Camera : public Device {
 public:
  virtual int SnapImage() = 0;                                                          // 44
  virtual const unsigned char* GetImageBuffer() = 0;                                    // 45
  virtual const unsigned char* GetImageBuffer(unsigned channel) = 0;                    // 46
  virtual const unsigned int* GetImageBufferAsRGB32() = 0;                              // 47
  virtual unsigned GetNumberOfComponents() const = 0;                                   // 48
  virtual int GetComponentName(unsigned component, char* name) = 0;                     // 49
  virtual int GetNumberOfChannels() const = 0;                                          // 50
  virtual int GetChannelName(unsigned channel, char* name) = 0;                         // 51
  virtual long GetImageBufferSize() const = 0;                                          // 52
  virtual unsigned GetImageWidth() const = 0;                                           // 53
  virtual unsigned GetImageHeight() const = 0;                                          // 54
  virtual unsigned GetImageBytesPerPixel() const = 0;                                   // 55
  virtual unsigned GetBitDepth() const = 0;                                             // 56
  virtual double GetPixelSizeUm() const = 0;                                            // 57
  virtual int GetBinning() const = 0;                                                   // 58
  virtual int SetBinning(int factor) = 0;                                               // 59
  virtual void SetExposure(double milliseconds) = 0;                                    // 60
  virtual double GetExposure() const = 0;                                               // 61
  virtual int SetROI(unsigned x, unsigned y, unsigned width, unsigned height) = 0;      // 62
  virtual int GetROI(unsigned& x, unsigned& y, unsigned& width, unsigned& height) = 0;  // 63
  virtual int ClearROI() = 0;                                                           // 64
  virtual bool SupportsMultiROI() = 0;                                                  // 65
  virtual bool IsMultiROISet() = 0;                                                     // 66
  virtual int GetMultiROICount(unsigned& count) = 0;                                    // 67
  virtual int SetMultiROI(const unsigned* xs, const unsigned* ys, const unsigned* widths,
                          const unsigned* heights, unsigned count) = 0;  // 68
  virtual int GetMultiROI(unsigned* xs, unsigned* ys, unsigned* widths, unsigned* heights,
                          unsigned* count) = 0;  // 69
  virtual int StartSequenceAcquisition(long numImages, double intervalMs,
                                       bool stopOnOverflow) = 0;                         // 70
  virtual int StartSequenceAcquisition(double intervalMs) = 0;                           // 71
  virtual int StopSequenceAcquisition() = 0;                                             // 72
  virtual int PrepareSequenceAcquisition() = 0;                                          // 73
  virtual bool IsCapturing() = 0;                                                        // 74
  virtual void GetTags(char* serialized) = 0;                                            // 75
  virtual void AddTag(const char* key, const char* deviceLabel, const char* value) = 0;  // 76
  virtual void RemoveTag(const char* key) = 0;                                           // 77
  virtual int GetTextReport(char* text) = 0;                                             // 78
  virtual int IsExposureSequenceable(bool& sequenceable) const = 0;                      // 79
  virtual int GetExposureSequenceMaxLength(long& maxLength) const = 0;                   // 80
  virtual int StartExposureSequence() = 0;                                               // 81
  virtual int StopExposureSequence() = 0;                                                // 82
  virtual int ClearExposureSequence() = 0;                                               // 83
  virtual int AddToExposureSequence(double exposureMs) = 0;                              // 84
  virtual std::vector<std::string> GetTagKeys() = 0;                                     // 85
  virtual std::string GetTagValue(const char* key) = 0;                                  // 86
};

}  // namespace MM
