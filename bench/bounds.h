// What the machine itself allows, measured in the same process and interleaved
// with the adapter's figures, so that a ratio holds on a busy shared machine.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace bench {

// The least work of the image path per frame: two copies of the frame. The
// vendor library writes the frame into the adapter's buffer (first copy) and
// the host copies that buffer into the next slot of its ring (second copy).
// The buffers are allocated and touched once, with as many ring slots as the
// benchmark's host has.
class CopyBound {
 public:
  CopyBound(size_t frameBytes, size_t ringSlots);
  // Mean seconds per frame over `frames` frames.
  double SecondsPerFrame(int frames);
  // Of the last SecondsPerFrame, the mean seconds of the second copy (into
  // the ring).
  double LastRingCopySeconds() const { return ringCopySeconds_; }

 private:
  double ringCopySeconds_ = 0;
  size_t bytes_;
  std::unique_ptr<unsigned char[]> source_;
  std::unique_ptr<unsigned char[]> middle_;
  std::vector<std::unique_ptr<unsigned char[]>> ring_;
  size_t next_ = 0;
};

// Items per second through a one-item mailbox between two threads, guarded by
// a mutex with a condition variable: the producer waits while the box is full,
// the consumer while it is empty. One hand-off per item, the least a frame
// delivered by one thread and taken by another costs. The producer runs on
// `producerCpu` and the calling thread (the consumer) on `consumerCpu` (-1:
// wherever the system puts it); the caller's placement is restored after.
double HandoffRate(int items, int producerCpu = -1, int consumerCpu = -1);

// Seconds of each of `count` round trips through a mutex and condition
// variables: the calling thread asks a waiting thread and waits for its answer
// (what a snap does with the camera's thread, without the camera). The
// responder runs on `responderCpu`, the caller on `callerCpu` (-1: anywhere);
// the caller's placement is restored after.
std::vector<double> HandoffRoundTrips(int count, int responderCpu = -1, int callerCpu = -1);

}  // namespace bench
