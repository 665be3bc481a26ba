#include "bench/bounds.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "bench/bench_support.h"

namespace bench {

// ---- copies -----------------------------------------------------------------------------

namespace {

std::unique_ptr<unsigned char[]> TouchedBuffer(size_t bytes, unsigned char fill) {
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[bytes]);
  std::memset(buffer.get(), fill, bytes);
  return buffer;
}

}  // namespace

CopyBound::CopyBound(size_t frameBytes, size_t ringSlots)
    : bytes_(frameBytes),
      source_(TouchedBuffer(frameBytes, 0x5A)),
      middle_(TouchedBuffer(frameBytes, 0)) {
  for (size_t i = 0; i < std::max<size_t>(1, ringSlots); ++i) {
    ring_.push_back(TouchedBuffer(frameBytes, 0));
  }
}

double CopyBound::SecondsPerFrame(int frames) {
  double ringCopy = 0;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < frames; ++i) {
    // The frame number changes the source a little, as a camera's frames do.
    source_[0] = static_cast<unsigned char>(i);
    std::memcpy(middle_.get(), source_.get(), bytes_);
    const Clock::time_point second = Clock::now();
    std::memcpy(ring_[next_].get(), middle_.get(), bytes_);
    ringCopy += SecondsBetween(second, Clock::now());
    next_ = (next_ + 1) % ring_.size();
  }
  ringCopySeconds_ = ringCopy / std::max(1, frames);
  return SecondsBetween(start, Clock::now()) / std::max(1, frames);
}

// ---- hand-off ---------------------------------------------------------------------------

double HandoffRate(int items, int producerCpu, int consumerCpu) {
  std::mutex mutex;
  std::condition_variable changed;
  bool full = false;
  long value = 0;
  long received = 0;

  PinCurrentThread(consumerCpu);
  std::thread producer([&] {
    PinCurrentThread(producerCpu);
    for (long i = 1; i <= items; ++i) {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return !full; });
      value = i;
      full = true;
      lock.unlock();
      changed.notify_all();
    }
  });

  const Clock::time_point start = Clock::now();
  for (int i = 0; i < items; ++i) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return full; });
    received += value;
    full = false;
    lock.unlock();
    changed.notify_all();
  }
  const double seconds = SecondsBetween(start, Clock::now());
  producer.join();
  PinCurrentThread(-1);
  return seconds > 0 ? items / seconds : 0;
}

std::vector<double> HandoffRoundTrips(int count, int responderCpu, int callerCpu) {
  std::mutex mutex;
  std::condition_variable requestSignal;
  std::condition_variable answerSignal;
  long request = 0;
  long answer = 0;

  PinCurrentThread(callerCpu);
  std::thread responder([&] {
    PinCurrentThread(responderCpu);
    for (long i = 1; i <= count; ++i) {
      std::unique_lock<std::mutex> lock(mutex);
      requestSignal.wait(lock, [&] { return request >= i; });
      answer = i;
      lock.unlock();
      answerSignal.notify_all();
    }
  });

  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(count));
  for (long i = 1; i <= count; ++i) {
    const Clock::time_point start = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex);
      request = i;
    }
    requestSignal.notify_all();
    std::unique_lock<std::mutex> lock(mutex);
    answerSignal.wait(lock, [&] { return answer >= i; });
    lock.unlock();
    samples.push_back(SecondsBetween(start, Clock::now()));
  }
  responder.join();
  PinCurrentThread(-1);
  return samples;
}

}  // namespace bench
