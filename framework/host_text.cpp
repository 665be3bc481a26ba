#include "framework/host_text.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "framework/mm_device.h"

bool CopyToHostBuffer(char* buffer, const std::string& text) {
  if (!buffer) return false;
  const size_t room = MM::kMaxHostText - 1;
  const size_t length = text.size() < room ? text.size() : room;
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return length == text.size();
}

namespace MM {

std::map<int, std::string> DefaultErrorTexts() {
  return {
      {1, "Unknown error in the device"},
      {2, "Invalid property name encountered"},
      {3, "Invalid property value"},
      {4, "Duplicate property names are not allowed"},
      {5, "Invalid property type"},
      {6, "Native module failed to load"},
      {7, "Unsupported data format encountered"},
      {8, "Device adapter inconsistent with the actual device"},
      {9, "Device not supported by the adapter"},
      {10, "Label not defined"},
      {11, "Unsupported device command"},
      {12, "Invalid state (position) requested"},
      {13, "No callback registered"},
      {14, "Serial command failed.  Is the device connected to the serial port?"},
      {15, "Serial buffer overrun."},
      {16,
       "Unexpected response from serial port. Is the device connected to the correct serial "
       "port?"},
      {17, "Serial timeout occurred."},
      {18, "Self reference error."},
      {19, "No property data error."},
      {20, "Position label already in use"},
      {21, "Invalid input parameter."},
      {22, "Buffer Overflow."},
      {23, "Requested channel is not defined."},
      {24,
       "Specified property limits are not valid. Either the property already has a set of "
       "discrete values, or the range is invalid"},
      {30, "Camera is busy acquiring images.  Stop camera activity before changing this property"},
      {32, "The device can not set this property at this moment"},
      {34, "t.b.d."},
      {35, "Unable to communicate with the device."},
      {36, "Parent module (Hub) is not available or defined for this device!"},
      {37, "Duplicate Device Library Name"},
      {38, "This property is not sequenceable"},
      {39, "Sequence is too large for this device"},
      {41, "This command has not yet been implemented for this device."},
  };
}

bool ErrorTextNamesProperty(int code) {
  return code >= 2 && code <= 5;
}

std::string UnknownErrorText(int code) {
  char text[64];
  std::snprintf(text, sizeof text, "Error code %d (%" PRIx32 " hex)", code,
                static_cast<uint32_t>(code));
  return text;
}

}  // namespace MM
