// The walk over every host slot: each operation of the device table called
// through its raw position with sensible arguments, its result checked against
// what the device's state allows.
#pragma once

#include <string>
#include <vector>

#include "framework/mm_device.h"

namespace reltest {

// What the caller knows about the device before the walk.
struct WalkState {
  bool moduleReady = true;  // discovery completed (library and texts present)
  bool open = false;        // Initialize succeeded and no Shutdown since
  bool capturing = false;   // a sequence runs
};

// Slots whose call changes the device's state (initialise, shut down, start,
// stop, destroy); the walk leaves them out and the tests cover them one by one.
bool IsTransitionSlot(int slot);

// Calls every slot from 2 to 94 that is not a transition slot, restoring what
// it changes. Returns one text per unexpected result. `host` must be the
// device's callback.
std::vector<std::string> WalkSlots(MM::Camera* camera, const WalkState& state, HostCallback* host);

// The number of slots WalkSlots calls.
int WalkedSlotCount();

}  // namespace reltest
