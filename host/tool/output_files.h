// Output files a command creates: removed again unless the command succeeds,
// so a failed run leaves no empty or half-written file behind.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace pyxtool {

class OutputFiles {
 public:
  OutputFiles() = default;
  ~OutputFiles() {
    if (!kept_)
      for (const std::string& path : paths_) std::remove(path.c_str());
  }
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;

  void add(const std::string& path) { paths_.push_back(path); }
  void keep() { kept_ = true; }

 private:
  std::vector<std::string> paths_;
  bool kept_ = false;
};

}  // namespace pyxtool
