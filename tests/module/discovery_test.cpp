// Finding, loading and enumerating the vendor library, each case in its own
// child process with a module copy placed in a temporary directory.
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/lib/host.h"
#include "module/discovery.h"
#include "tests/module/module_sandbox.h"

namespace moduletest {
namespace {

using Devices = std::vector<std::string>;

const Devices kThreeCameras = {"Cam A|2|FakeCo", "Cam B|2|FakeCo", "Cam C|2|FakeCo"};
const Devices kLibraryNameOnly = {"FakeCam|2|FakeCo"};
const char kFullCalls[] = "AppName(dero),DeroName,Company,Version,Enum";

// Loads `modulePath` in a fresh child and initialises it `times` times.
ChildOutcome Discover(const std::string& modulePath, int times = 1) {
  return RunInChild([&](Report& report) { InitializeAndReport(modulePath, report, times); });
}

TEST(Discovery, RegistersEveryCameraInOrderOnceOnly) {
  Sandbox box;
  const std::string module = box.installModule("m/vuzezod_dal_Pyxon.so");
  box.installVendor("full", "m/libPyxon.so");

  const ChildOutcome outcome = Discover(module, 2);
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.devices(), kThreeCameras);
  EXPECT_EQ(outcome.get("vendor"), box.path("m/libPyxon.so"));
  // Application name first, then the texts; the second initialisation calls nothing.
  EXPECT_EQ(outcome.get("calls"), kFullCalls);
}

TEST(Discovery, VendorLibraryIsLoadedWithItsOwnSymbolsFirst) {
#ifdef PYXON_SANITIZER_BUILD
  EXPECT_EQ(kVendorLibraryOpenFlags, RTLD_NOW);
  GTEST_SKIP() << "sanitizer runtimes refuse deep binding";
#else
  EXPECT_EQ(kVendorLibraryOpenFlags, 10);
  Sandbox box;
  const std::string module = box.installModule("m/vuzezod_dal_Pyxon.so");
  box.installVendor("full", "m/libPyxon.so");
  const ChildOutcome outcome = Discover(module);
  ASSERT_TRUE(outcome.completed) << outcome.status;
  // The test program defines the same symbol; deep binding keeps the library's.
  EXPECT_EQ(outcome.get("probe"), "vendor");
#endif
}

TEST(Discovery, SearchesBesideTheRealFileWithItsVersionSuffix) {
  Sandbox box;
  box.installModule("real/vuzezod_dal_Pyxon.so.1.2.3");
  const std::string link =
      box.symlink(box.path("real/vuzezod_dal_Pyxon.so.1.2.3"), "link/vuzezod_dal_Pyxon.so");
  box.installVendor("full", "real/libPyxon.so.1.2.3");
  // Decoys: beside the link, and an unversioned one the first scan must not prefer.
  box.installVendor("zero", "link/libPyxon.so");
  box.installVendor("zero", "real/libPyxon.so");

  const ChildOutcome outcome = Discover(link);
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.devices(), kThreeCameras);
  EXPECT_EQ(outcome.get("vendor"), box.path("real/libPyxon.so.1.2.3"));
}

TEST(Discovery, FallsBackToTheUnversionedLibraryOnly) {
  Sandbox box;
  const std::string module = box.installModule("real/vuzezod_dal_Pyxon.so.1.2.3");
  box.installVendor("zero", "real/libPyxon.so.9");  // another version: never taken
  box.installVendor("full", "real/libPyxon.so");

  const ChildOutcome outcome = Discover(module);
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.devices(), kThreeCameras);
  EXPECT_EQ(outcome.get("vendor"), box.path("real/libPyxon.so"));
}

TEST(Discovery, MatchesTheLibraryNameIgnoringCase) {
  Sandbox box;
  const std::string module = box.installModule("m/vuzezod_dal_Pyxon.so");
  box.installVendor("full", "m/LIBpyxon.SO");

  const ChildOutcome outcome = Discover(module);
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.devices(), kThreeCameras);
  // Opened in the entry's own spelling.
  EXPECT_EQ(outcome.get("vendor"), box.path("m/LIBpyxon.SO"));
}

TEST(Discovery, TakesSymbolicLinksButNeverDirectories) {
  Sandbox box;
  const std::string module = box.installModule("m/vuzezod_dal_Pyxon.so");
  box.makeDirectory("m/libPyxon.so");
  const std::string target = box.installVendor("full", "elsewhere/libfake.so");
  box.symlink(target, "m/LIBPYXON.so");

  const ChildOutcome outcome = Discover(module);
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.devices(), kThreeCameras);
}

TEST(Discovery, DirectoryNamedLikeTheModuleDoesNotMisdirectTheSearch) {
  Sandbox box;
  const std::string module = box.installModule("x/vuzezod_dal_evil/vuzezod_dal_Pyxon.so");
  box.installVendor("full", "x/vuzezod_dal_evil/libPyxon.so");

  const ChildOutcome outcome = Discover(module);
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.devices(), kThreeCameras);
}

TEST(Discovery, MissingLibraryIsSearchedAgainOnTheNextInitialisation) {
  Sandbox box;
  const std::string module = box.installModule("m/vuzezod_dal_Pyxon.so");

  const ChildOutcome outcome = RunInChild([&](Report& report) {
    std::string error;
    auto host = pyxhost::Module::Load(module, &error);
    if (!host) return report.put("load.error", error);
    host->InitializeModuleData();
    report.put("before", host->GetNumberOfDevices());
    box.installVendor("full", "m/libPyxon.so");
    host->InitializeModuleData();
    report.put("after", host->GetNumberOfDevices());
  });
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.number("before"), 0);
  EXPECT_EQ(outcome.number("after"), 3);
}

TEST(Discovery, LibraryWithoutEnumerationCountsAsNotFound) {
  Sandbox box;
  const std::string module = box.installModule("m/vuzezod_dal_Pyxon.so");
  box.installVendor("no_enum", "m/libPyxon.so");

  const ChildOutcome outcome = RunInChild([&](Report& report) {
    std::string error;
    auto host = pyxhost::Module::Load(module, &error);
    if (!host) return report.put("load.error", error);
    host->InitializeModuleData();
    report.put("before", host->GetNumberOfDevices());
    // Given back unused, so a usable library put in its place is found next time.
    std::filesystem::remove(box.path("m/libPyxon.so"));
    box.installVendor("full", "m/libPyxon.so");
    host->InitializeModuleData();
    report.put("after", host->GetNumberOfDevices());
    ReportVendor(report);
  });
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.number("before"), 0);
  EXPECT_EQ(outcome.number("after"), 3);
  EXPECT_EQ(outcome.get("calls"), kFullCalls);
}

TEST(Discovery, LibraryWithoutCompanyTextRegistersNothingForGood) {
  Sandbox box;
  const std::string module = box.installModule("m/vuzezod_dal_Pyxon.so");
  box.installVendor("no_company", "m/libPyxon.so");

  const ChildOutcome outcome = Discover(module, 2);
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.number("count"), 0);
  EXPECT_EQ(outcome.get("calls"), "AppName(dero),DeroName,Version");
}

TEST(Discovery, WithoutCamerasTheLibraryNameIsTheOneDevice) {
  struct Case {
    const char* variant;
    const char* calls;
  };
  const Case cases[] = {
      {"zero", "AppName(dero),DeroName,Company,Version,Enum"},
      {"zero_gige_refused", "AppName(dero),DeroName,Company,Version,Enum,GigeEnable(null,null)"},
      // A negative count is no camera; the record it left is not read.
      {"negative", "AppName(dero),DeroName,Company,Version,Enum"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant);
    Sandbox box;
    const std::string module = box.installModule("m/vuzezod_dal_Pyxon.so");
    box.installVendor(c.variant, "m/libPyxon.so");
    const ChildOutcome outcome = Discover(module);
    ASSERT_TRUE(outcome.completed) << outcome.status;
    EXPECT_EQ(outcome.devices(), kLibraryNameOnly);
    EXPECT_EQ(outcome.get("calls"), c.calls);
  }
}

std::atomic<int> g_interruptions{0};
void CountInterruption(int) {
  ++g_interruptions;
}

TEST(Discovery, GigeRetrySleepsThroughSignalsThenRegistersWhatItFinds) {
  Sandbox box;
  const std::string module = box.installModule("m/vuzezod_dal_Pyxon.so");
  box.installVendor("gige_finds", "m/libPyxon.so");

  const ChildOutcome outcome = RunInChild([&](Report& report) {
    // Interrupt the settling sleep twice; it must still last its full time.
    struct sigaction action {};
    action.sa_handler = CountInterruption;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no automatic restart: the sleep sees EINTR
    sigaction(SIGALRM, &action, nullptr);
    itimerval timer{};
    timer.it_value.tv_usec = 300 * 1000;
    timer.it_interval.tv_usec = 500 * 1000;
    setitimer(ITIMER_REAL, &timer, nullptr);

    const auto start = std::chrono::steady_clock::now();
    InitializeAndReport(module, report);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    timer = itimerval{};
    setitimer(ITIMER_REAL, &timer, nullptr);
    report.put("elapsed.ms",
               std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    report.put("interruptions", g_interruptions.load());
  });
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.devices(), (Devices{"GigE 1|2|FakeCo", "GigE 2|2|FakeCo"}));
  EXPECT_EQ(outcome.get("calls"),
            "AppName(dero),DeroName,Company,Version,Enum,GigeEnable(null,null),Enum");
  EXPECT_GE(outcome.number("interruptions"), 1);
  EXPECT_GE(outcome.number("elapsed.ms"), 1990);
}

TEST(Discovery, DuplicateDisplayNamesAreListedOnce) {
  Sandbox box;
  const std::string module = box.installModule("m/vuzezod_dal_Pyxon.so");
  box.installVendor("duplicates", "m/libPyxon.so");

  const ChildOutcome outcome = Discover(module);
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.devices(), (Devices{"Alpha|2|FakeCo", "Beta|2|FakeCo"}));
}

TEST(Discovery, CameraCountIsBoundedToTheList) {
  Sandbox box;
  const std::string module = box.installModule("m/vuzezod_dal_Pyxon.so");
  box.installVendor("many", "m/libPyxon.so");

  const ChildOutcome outcome = Discover(module);
  ASSERT_TRUE(outcome.completed) << outcome.status;
  const Devices devices = outcome.devices();
  ASSERT_EQ(devices.size(), 128u);
  EXPECT_EQ(devices.front(), "Cam 000|2|FakeCo");
  EXPECT_EQ(devices.back(), "Cam 127|2|FakeCo");
}

TEST(Discovery, UnterminatedNamesAreReadWithinTheirField) {
  Sandbox box;
  const std::string module = box.installModule("m/vuzezod_dal_Pyxon.so");
  box.installVendor("unterminated", "m/libPyxon.so");

  const ChildOutcome outcome = Discover(module);
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.devices(), (Devices{std::string(64, 'N') + "|2|FakeCo", "Short|2|FakeCo"}));
}

// Cut copies of a library, as an interrupted copy or download leaves them: the
// loader would map their missing segments and fault. Each is passed over
// silently, and the complete library put in its place is found next time.
TEST(Discovery, IncompleteLibraryIsNotLoadedAndIsSearchedAgain) {
  const auto cut = [](const std::string& from, size_t size) {
    return ReadFile(from).substr(0, size);
  };
  const std::string fake = FakeVendor("full");
  const struct {
    const char* name;
    std::string content;
    const char* linkedFrom;  // a link to the file, as versioned libraries come
  } cases[] = {
      {"empty", "", nullptr},
      {"text", "not a library\n", nullptr},
      {"1 kB", cut(fake, 1024), nullptr},
      {"4 kB", cut(fake, 4096), nullptr},
      {"8 kB", cut(fake, 8192), nullptr},
      {"64 kB of the simulator", cut(PYXON_SIM_LIBRARY, 64 * 1024), nullptr},
      {"100 kB of the simulator", cut(PYXON_SIM_LIBRARY, 100 * 1024), nullptr},
      {"4 kB behind a link", cut(fake, 4096), "libPyxon.so.1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    const std::string module = box.installModule("m/vuzezod_dal_Pyxon.so");
    const std::string library = box.path("m/libPyxon.so");
    if (c.linkedFrom != nullptr) {
      box.writeFile(std::string("m/") + c.linkedFrom, c.content);
      box.symlink(c.linkedFrom, "m/libPyxon.so");
    } else {
      box.writeFile("m/libPyxon.so", c.content);
    }
    const ChildOutcome outcome = RunInChild([&](Report& report) {
      std::string error;
      auto host = pyxhost::Module::Load(module, &error);
      if (!host) return report.put("load.error", error);
      host->InitializeModuleData();
      report.put("before", host->GetNumberOfDevices());
      std::filesystem::remove(library);
      box.installVendor("full", "m/libPyxon.so");
      host->InitializeModuleData();
      report.put("after", host->GetNumberOfDevices());
    });
    EXPECT_TRUE(outcome.completed) << outcome.status;
    if (!outcome.completed) continue;
    EXPECT_EQ(outcome.number("before"), 0);
    EXPECT_EQ(outcome.number("after"), 3);
  }
}

}  // namespace
}  // namespace moduletest
