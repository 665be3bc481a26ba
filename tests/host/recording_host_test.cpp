// The host stand-in: its callback positions, its record and its image ring.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/lib/host.h"

namespace {

using namespace std::chrono_literals;
using pyxhost::HostImage;
using pyxhost::RecordingHost;

constexpr auto kHangGuard = 10s;

// The table of virtual functions as the device sees it: positions, not names.
template <typename Fn>
Fn Slot(HostCallback* host, int position) {
  void** table = *reinterpret_cast<void***>(host);
  return reinterpret_cast<Fn>(table[position]);
}

using LogFn = int (*)(HostCallback*, const MM::Device*, const char*, bool);
using PropertyFn = int (*)(HostCallback*, const MM::Device*, const char*, const char*);
using ExposureFn = int (*)(HostCallback*, const MM::Device*, double);
using FinishedFn = int (*)(HostCallback*, const MM::Device*, int);
using PrepareFn = int (*)(HostCallback*, const MM::Device*);
using InsertFn = int (*)(HostCallback*, const MM::Device*, const unsigned char*, unsigned, unsigned,
                         unsigned, const char*, bool);
using ClearFn = void (*)(HostCallback*, const MM::Device*);

// A distinct caller address; the host never dereferences it.
const MM::Device* const kDevice = reinterpret_cast<const MM::Device*>(uintptr_t{0x1000});

// Pixels whose first and last 8 bytes hold `stamp` (little endian).
std::vector<unsigned char> StampedPixels(size_t bytes, uint64_t stamp) {
  std::vector<unsigned char> pixels(bytes, 0x5a);
  for (int i = 0; i < 8; ++i) {
    pixels[i] = static_cast<unsigned char>(stamp >> (8 * i));
    pixels[bytes - 8 + i] = static_cast<unsigned char>(stamp >> (8 * i));
  }
  return pixels;
}

int Insert(RecordingHost& host, uint64_t stamp, const char* metadata = "meta") {
  const auto pixels = StampedPixels(4 * 3 * 2, stamp);
  return host.InsertImage(kDevice, pixels.data(), 4, 3, 2, metadata, true);
}

TEST(RecordingHost, EveryPositionIsRecordedInCallOrder) {
  RecordingHost host;
  HostCallback* callback = &host;
  host.setPrepareResult(7);
  const auto pixels = StampedPixels(16, 42);

  EXPECT_EQ(Slot<LogFn>(callback, 2)(callback, kDevice, "hello", false), 0);
  EXPECT_EQ(Slot<PropertyFn>(callback, 15)(callback, kDevice, "Exposure", "10.5"), 0);
  EXPECT_EQ(Slot<ExposureFn>(callback, 18)(callback, kDevice, 12.5), 0);
  EXPECT_EQ(Slot<PrepareFn>(callback, 24)(callback, kDevice), 7);
  EXPECT_EQ(Slot<InsertFn>(callback, 28)(callback, kDevice, pixels.data(), 8, 1, 2, "m", true), 0);
  Slot<ClearFn>(callback, 29)(callback, kDevice);
  EXPECT_EQ(Slot<FinishedFn>(callback, 23)(callback, kDevice, 0), 0);

  EXPECT_EQ(host.events(),
            (std::vector<std::string>{"log:hello", "prop:Exposure=10.5", "exposure:12.5", "prepare",
                                      "insert", "clear", "finished"}));
  EXPECT_EQ(host.logs(), std::vector<std::string>{"hello"});
  EXPECT_EQ(host.propertyChanges("Exposure"), std::vector<std::string>{"10.5"});
  EXPECT_EQ(host.exposureChanges(), std::vector<double>{12.5});
  EXPECT_EQ(host.finishedStatuses(), std::vector<int>{0});
  EXPECT_EQ(host.prepareCount(), 1u);
  EXPECT_EQ(host.clearCount(), 1u);
  EXPECT_EQ(host.imageCount(), 0u);  // cleared after the insert
  EXPECT_EQ(host.callers(), std::vector<const MM::Device*>{kDevice});
}

TEST(RecordingHost, ImagesKeepTheirGeometryMetadataAndStamps) {
  RecordingHost host;
  ASSERT_EQ(Insert(host, 1, "first"), 0);
  ASSERT_EQ(Insert(host, 2, nullptr), 0);

  host.setCopyPixels(false);
  ASSERT_EQ(Insert(host, 3), 0);

  const std::vector<HostImage> images = host.takeImages();
  ASSERT_EQ(images.size(), 3u);
  EXPECT_EQ(host.imageCount(), 0u);
  EXPECT_EQ(images[0].width, 4u);
  EXPECT_EQ(images[0].height, 3u);
  EXPECT_EQ(images[0].bytesPerPixel, 2u);
  EXPECT_EQ(images[0].pixels, StampedPixels(24, 1));
  EXPECT_EQ(images[0].metadata, "first");
  EXPECT_TRUE(images[0].process);
  EXPECT_EQ(images[1].metadata, "");
  EXPECT_EQ(images[1].headWord, 2u);
  EXPECT_EQ(images[1].tailWord, 2u);
  EXPECT_LE(images[0].received, images[1].received);
  // Without copying, the size and stamps are still taken from the device's buffer.
  EXPECT_TRUE(images[2].pixels.empty());
  EXPECT_EQ(images[2].byteCount, 24u);
  EXPECT_EQ(images[2].headWord, 3u);
  EXPECT_EQ(images[2].tailWord, 3u);
}

TEST(RecordingHost, FullRingAnswersOverflowUntilCleared) {
  RecordingHost host;
  host.setRingCapacity(3);
  for (uint64_t i = 1; i <= 3; ++i) EXPECT_EQ(Insert(host, i), 0);
  EXPECT_EQ(Insert(host, 4), pyxhost::kHostBufferOverflow);
  EXPECT_EQ(Insert(host, 5), 22);
  EXPECT_EQ(host.imageCount(), 3u);
  EXPECT_EQ(host.insertCount(), 5u);
  EXPECT_EQ(host.acceptedCount(), 3u);
  EXPECT_EQ(host.rejectedCount(), 2u);

  host.ClearImageBuffer(kDevice);
  EXPECT_EQ(host.imageCount(), 0u);
  EXPECT_EQ(host.clearCount(), 1u);
  EXPECT_EQ(Insert(host, 6), 0);
  const auto images = host.takeImages();
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].headWord, 6u);  // the rejected images were never kept

  // Taking the images also makes room.
  for (uint64_t i = 7; i <= 9; ++i) EXPECT_EQ(Insert(host, i), 0);
  EXPECT_EQ(Insert(host, 10), 22);
  EXPECT_EQ(host.takeImages().size(), 3u);
  EXPECT_EQ(Insert(host, 11), 0);
}

TEST(RecordingHost, InsertHookCanRefuseAnImage) {
  RecordingHost host;
  std::vector<uint64_t> seen;
  host.setInsertHook([&](const HostImage& image) {
    seen.push_back(image.headWord);
    return image.headWord == 2 ? 99 : 0;
  });
  EXPECT_EQ(Insert(host, 1), 0);
  EXPECT_EQ(Insert(host, 2), 99);
  EXPECT_EQ(Insert(host, 3), 0);
  EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2, 3}));
  const auto images = host.takeImages();
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[1].headWord, 3u);
  EXPECT_EQ(host.acceptedCount(), 2u);
}

TEST(RecordingHost, InsertStillInItsHookHoldsAPlaceInTheRing) {
  RecordingHost host;
  host.setRingCapacity(2);
  std::mutex mutex;
  std::condition_variable changed;
  bool inHook = false;
  bool release = false;
  host.setInsertHook([&](const HostImage& image) {
    if (image.headWord != 1) return 0;
    std::unique_lock<std::mutex> lock(mutex);
    inHook = true;
    changed.notify_all();
    changed.wait_for(lock, kHangGuard, [&] { return release; });
    return 0;
  });

  std::thread slow([&] { Insert(host, 1); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kHangGuard, [&] { return inHook; }));
  }
  // The hook may call back into the host without deadlock.
  EXPECT_EQ(host.insertCount(), 1u);
  EXPECT_EQ(Insert(host, 2), 0);
  EXPECT_EQ(Insert(host, 3), 22);  // image 1 holds the second place
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  slow.join();
  EXPECT_EQ(host.imageCount(), 2u);
}

TEST(RecordingHost, WaitsEndWhenAnotherThreadDelivers) {
  RecordingHost host;
  EXPECT_FALSE(host.waitForFinished(1ms));
  EXPECT_FALSE(host.waitForImages(1, 1ms));

  std::thread producer([&] {
    for (uint64_t i = 1; i <= 5; ++i) Insert(host, i);
    host.OnPropertyChanged(kDevice, "Binning", "2");
    host.OnExposureChanged(kDevice, 3.0);
    host.AcquisitionFinished(kDevice, 0);
  });
  EXPECT_TRUE(host.waitForImages(5, kHangGuard));
  EXPECT_TRUE(host.waitForAccepted(5, kHangGuard));
  EXPECT_TRUE(host.waitForPropertyChange("Binning", kHangGuard));
  EXPECT_TRUE(host.waitForPropertyChange("Binning", "2", kHangGuard));
  EXPECT_TRUE(host.waitForExposureChanges(1, kHangGuard));
  EXPECT_TRUE(host.waitForFinished(kHangGuard));
  producer.join();
  EXPECT_FALSE(host.waitForPropertyChange("Binning", "4", 1ms));
  EXPECT_FALSE(host.waitForFinished(1ms, 2));
}

TEST(RecordingHost, ConcurrentCallersNeverOverfillTheRing) {
  RecordingHost host;
  host.setRingCapacity(50);
  constexpr int kThreads = 4;
  constexpr int kPerThread = 40;
  std::atomic<int> overflows{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        if (Insert(host, static_cast<uint64_t>(t * 1000 + i)) == 22) ++overflows;
        host.LogMessage(kDevice, "tick", false);
        if (i == kPerThread / 2 && t == 0) host.ClearImageBuffer(kDevice);
      }
    });
  }
  std::vector<HostImage> taken;
  while (host.acceptedCount() + host.rejectedCount() < static_cast<size_t>(kThreads * kPerThread)) {
    EXPECT_LE(host.imageCount(), 50u);
    std::this_thread::yield();
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(host.insertCount(), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_EQ(host.rejectedCount(), static_cast<size_t>(overflows.load()));
  EXPECT_EQ(host.logs().size(), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_LE(host.imageCount(), 50u);
  EXPECT_EQ(host.events().size(), static_cast<size_t>(2 * kThreads * kPerThread + 1));
}

TEST(RecordingHost, ResetForgetsRecordsButKeepsConfiguration) {
  RecordingHost host;
  host.setRingCapacity(1);
  host.setPrepareResult(3);
  Insert(host, 1);
  host.LogMessage(kDevice, "x", false);
  host.reset();
  EXPECT_TRUE(host.events().empty());
  EXPECT_EQ(host.imageCount(), 0u);
  EXPECT_EQ(host.insertCount(), 0u);
  EXPECT_EQ(host.ringCapacity(), 1u);
  EXPECT_EQ(host.PrepareForAcquisition(kDevice), 3);
}

TEST(HostModule, LoadExplainsWhatIsWrong) {
  std::string error;
  EXPECT_EQ(pyxhost::Module::Load("/nonexistent/vuzezod_dal_X.so", &error), nullptr);
  EXPECT_NE(error.find("/nonexistent/vuzezod_dal_X.so"), std::string::npos) << error;

  error.clear();
  // A loadable library that is not a device module.
  EXPECT_EQ(pyxhost::Module::Load("libm.so.6", &error), nullptr);
  EXPECT_NE(error.find("missing export InitializeModuleData"), std::string::npos) << error;
}

}  // namespace
