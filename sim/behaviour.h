// Library-wide switches of how closely the simulator behaves like a real
// camera library (sim_control.h). Read without a lock wherever a decision is
// made; a change applies to the next call or, for the value-event thread, to
// the next open.
#pragma once

#include <atomic>
#include <cstdint>

namespace pyxsim {

struct Behaviour {
  static constexpr uint32_t kDefaultStopWaitLimitMs = 5000;

  // 159 and 160 wait for callbacks in flight (except from a callback of the
  // same camera's threads).
  std::atomic<bool> stopWaitsForCallbacks{true};
  std::atomic<uint32_t> stopWaitLimitMs{kDefaultStopWaitLimitMs};
  // Events 1 and 6 are delivered from a second thread per open camera.
  std::atomic<bool> valueEventsThread{true};
  // Per-position latency of a slow link (SlowLinkMicroseconds).
  std::atomic<bool> slowLink{false};
  // Stops and closes of every camera that gave up waiting, since reset.
  std::atomic<uint64_t> stopWaitExpiries{0};

  void Reset() {
    stopWaitsForCallbacks.store(true);
    stopWaitLimitMs.store(kDefaultStopWaitLimitMs);
    valueEventsThread.store(true);
    slowLink.store(false);
    stopWaitExpiries.store(0);
  }
};

inline Behaviour& CurrentBehaviour() {
  static Behaviour behaviour;
  return behaviour;
}

// What one call of the position costs on a slow link, in microseconds.
inline uint32_t SlowLinkMicroseconds(int position) {
  switch (position) {
    case 93:  // option write
    case 94:  // option read
      return 1000;
    case 158:
    case 159:
    case 160:
      return 5000;
    default:
      return 200;
  }
}

}  // namespace pyxsim
