// The module's log file "dero.log" in the home directory of the real user.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "host/lib/host.h"
#include "tests/module/module_sandbox.h"

namespace moduletest {
namespace {

class ModuleLog : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = box_.installModule("m/vuzezod_dal_Pyxon.so");
    home_ = box_.makeDirectory("home");
    chmod(home_.c_str(), 0755);
    log_ = home_ + "/dero.log";
  }

  void installVendor() { box_.installVendor("full", "m/libPyxon.so"); }

  // In a child with HOME set: loads the module and runs `body` on it.
  ChildOutcome WithModule(const std::function<void(pyxhost::Module&, Report&)>& body,
                          bool unprivileged = false) {
    return RunInChild([&](Report& report) {
      setenv("HOME", home_.c_str(), 1);
      if (unprivileged && !DropRootRights()) return report.put("error", "cannot drop rights");
      std::string error;
      auto module = pyxhost::Module::Load(module_, &error);
      if (!module) return report.put("load.error", error);
      body(*module, report);
    });
  }

  // Reports the descriptors on the log: how many, and whether the last one is
  // write-only and closed on exec.
  void ReportDescriptors(const std::string& prefix, Report& report) {
    int fd = -1;
    report.put(prefix + ".open", DescriptorsOpenOn(log_, &fd));
    if (fd < 0) return;
    report.put(prefix + ".cloexec", (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0 ? 1 : 0);
    report.put(prefix + ".writeonly", (fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY ? 1 : 0);
  }

  Sandbox box_;
  std::string module_;
  std::string home_;
  std::string log_;
};

TEST_F(ModuleLog, AbsentLogIsNotCreated) {
  installVendor();
  const ChildOutcome outcome = WithModule([&](pyxhost::Module& module, Report& report) {
    module.InitializeModuleData();
    report.put("count", module.GetNumberOfDevices());
    ReportDescriptors("log", report);
  });
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.number("count"), 3);
  EXPECT_EQ(outcome.number("log.open"), 0);
  EXPECT_FALSE(std::filesystem::exists(log_));
}

TEST_F(ModuleLog, WritableLogIsTruncatedOnceAtDiscovery) {
  installVendor();
  box_.writeFile("home/dero.log", "previous session\n");
  const ChildOutcome outcome = WithModule([&](pyxhost::Module& module, Report& report) {
    module.InitializeModuleData();
    report.put("after.first", ReadFile(log_).size());
    ReportDescriptors("log", report);
    std::ofstream(log_, std::ios::app) << "written later\n";
    module.InitializeModuleData();  // discovery is done: the log stays as it is
    report.put("after.second", ReadFile(log_));
  });
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.number("after.first"), 0);
  EXPECT_EQ(outcome.number("log.open"), 1);
  EXPECT_EQ(outcome.number("log.writeonly"), 1);
  EXPECT_EQ(outcome.number("log.cloexec"), 1);
  EXPECT_EQ(outcome.get("after.second"), "written later");
}

TEST_F(ModuleLog, ReadOnlyLogIsLeftAlone) {
  installVendor();
  box_.writeFile("home/dero.log", "keep me\n");
  chmod(log_.c_str(), 0444);
  const ChildOutcome outcome = WithModule(
      [&](pyxhost::Module& module, Report& report) {
        module.InitializeModuleData();
        report.put("count", module.GetNumberOfDevices());
        ReportDescriptors("log", report);
      },
      /*unprivileged=*/true);
  ASSERT_TRUE(outcome.completed) << outcome.status;
  ASSERT_FALSE(outcome.has("error")) << outcome.get("error");
  EXPECT_EQ(outcome.number("count"), 3);
  EXPECT_EQ(outcome.number("log.open"), 0);
  EXPECT_EQ(ReadFile(log_), "keep me\n");
}

TEST_F(ModuleLog, RetriedDiscoveryReopensWithoutLeakingTheDescriptor) {
  // No vendor library: every initialisation runs discovery again.
  box_.writeFile("home/dero.log", "first\n");
  const ChildOutcome outcome = WithModule([&](pyxhost::Module& module, Report& report) {
    module.InitializeModuleData();
    report.put("first.size", ReadFile(log_).size());
    std::ofstream(log_, std::ios::app) << "second\n";
    module.InitializeModuleData();
    module.InitializeModuleData();
    report.put("second.size", ReadFile(log_).size());
    report.put("count", module.GetNumberOfDevices());
    ReportDescriptors("log", report);
  });
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.number("first.size"), 0);
  EXPECT_EQ(outcome.number("second.size"), 0);
  EXPECT_EQ(outcome.number("count"), 0);
  EXPECT_EQ(outcome.number("log.open"), 1);
}

TEST_F(ModuleLog, NoHomeDirectoryMeansNoLog) {
  installVendor();
  box_.writeFile("home/dero.log", "keep me\n");
  const ChildOutcome outcome = RunInChild([&](Report& report) {
    unsetenv("HOME");  // the test program's password database then has no entry
    std::string error;
    auto module = pyxhost::Module::Load(module_, &error);
    if (!module) return report.put("load.error", error);
    module->InitializeModuleData();
    report.put("count", module->GetNumberOfDevices());
  });
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.number("count"), 3);
  EXPECT_EQ(ReadFile(log_), "keep me\n");
}

}  // namespace
}  // namespace moduletest
