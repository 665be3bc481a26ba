// Device error codes shared by the framework and the camera.
//
// Every host operation reports failure as one of these plain int codes; 0 is
// success. The texts the host sees for them live in device_texts.cpp.
#pragma once

namespace MM {
namespace Err {

constexpr int Ok = 0;
constexpr int Unknown = 1;
constexpr int InvalidPropertyName = 2;
constexpr int InvalidPropertyValue = 3;
constexpr int DuplicateProperty = 4;
constexpr int InvalidPropertyType = 5;
constexpr int NativeModuleFailed = 6;
constexpr int UnsupportedData = 7;
constexpr int InconsistentDevice = 8;
constexpr int UnsupportedDevice = 9;
constexpr int UndefinedLabel = 10;
constexpr int UnsupportedCommand = 11;
constexpr int InvalidState = 12;
constexpr int NoCallback = 13;
constexpr int InvalidInput = 21;
constexpr int BufferOverflow = 22;
constexpr int InvalidChannel = 23;
constexpr int InvalidLimits = 24;
constexpr int CameraBusy = 30;
constexpr int CannotSetProperty = 32;
constexpr int NoCommunication = 35;
constexpr int NoHub = 36;
constexpr int NotSequenceable = 38;
constexpr int SequenceTooLarge = 39;
constexpr int NotImplemented = 41;

}  // namespace Err
}  // namespace MM
