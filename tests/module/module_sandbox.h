// Test support for the module entry: temporary directories holding copies of
// the module and of vendor stand-ins, and child processes that load the module
// so that every case starts from fresh module-wide state.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace moduletest {

// The module built with this tree.
std::string BuiltModule();
// A built vendor stand-in variant (tests/module/CMakeLists.txt lists them).
std::string FakeVendor(const std::string& variant);

// A temporary directory tree, removed with everything in it on destruction.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

  // Each creates missing parent directories and returns the absolute path.
  std::string makeDirectory(const std::string& relative);
  std::string copyFile(const std::string& from, const std::string& relative);
  std::string symlink(const std::string& target, const std::string& relative);
  std::string writeFile(const std::string& relative, const std::string& content);
  // A copy of the built module, by default as "<dir>/vuzezod_dal_Pyxon.so".
  std::string installModule(const std::string& relative);
  // A copy of a vendor stand-in under the given name.
  std::string installVendor(const std::string& variant, const std::string& relative);

 private:
  std::string root_;
};

std::string ReadFile(const std::string& path);

// What a child process reports, one "key=value" line per put().
class Report {
 public:
  explicit Report(int fd) : fd_(fd) {}
  void put(const std::string& key, const std::string& value);
  void put(const std::string& key, long long value) { put(key, std::to_string(value)); }

 private:
  int fd_;
};

struct ChildOutcome {
  bool completed = false;  // the body returned and the child exited with 0
  std::string status;      // how the child ended, for failure messages
  std::map<std::string, std::string> values;

  bool has(const std::string& key) const { return values.count(key) != 0; }
  std::string get(const std::string& key) const;
  long long number(const std::string& key) const;
  // The "device.<i>" values in order.
  std::vector<std::string> devices() const;
};

// Runs `body` in a forked child and collects its report. The child is killed
// when it has not finished within `timeout` (a hang guard only).
ChildOutcome RunInChild(const std::function<void(Report&)>& body,
                        std::chrono::seconds timeout = std::chrono::seconds(60));

// In a child: loads the module at `modulePath` the way the host does, calls
// InitializeModuleData `times` times, and reports
//   "load.error"  when the module cannot be loaded,
//   "count"       the number of devices,
//   "device.<i>"  "name|type|description" of each device,
//   "vendor"      the file of the vendor library loaded into the process,
//   "calls"       the calls the vendor stand-in received.
void InitializeAndReport(const std::string& modulePath, Report& report, int times = 1);

// In a child: reports "vendor" and "calls" as above.
void ReportVendor(Report& report);

// In a child: the number of descriptors open on `path`, and the descriptor
// itself (last one found) in *fd.
int DescriptorsOpenOn(const std::string& path, int* fd = nullptr);

// In a child: gives up root rights (to the unprivileged "nobody" ids), so that
// file permissions apply. True when the process is now unprivileged.
bool DropRootRights();

}  // namespace moduletest
