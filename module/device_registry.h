// The devices the module offers to the host, in registration order.
//
// Threads: not locked; filled once by discovery and then only read, all from
// the host's module thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct RegisteredDevice {
  std::string name;
  int32_t type = 0;
  std::string description;
};

class DeviceRegistry {
 public:
  // Appends a device. A null name registers nothing, and so does a name that is
  // already registered (exact, case-sensitive comparison): the first
  // registration keeps its type and description. A null description is stored
  // as "(Null description)".
  void Register(const char* name, int32_t type, const char* description);

  size_t size() const { return devices_.size(); }
  // Null when index is not below size().
  const RegisteredDevice* At(size_t index) const;
  // Exact byte comparison; null for a null or unknown name.
  const RegisteredDevice* Find(const char* name) const;

 private:
  std::vector<RegisteredDevice> devices_;
};
