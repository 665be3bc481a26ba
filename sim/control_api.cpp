// The pyxsim_* exports of sim_control.h.
#include <cstring>
#include <exception>

#include "sim/behaviour.h"
#include "sim/catalogue.h"
#include "sim/sim_control.h"
#include "sim/simulator.h"

namespace {

using pyxsim::SimCamera;
using pyxsim::Simulator;

// Runs fn on the camera at index cam; fallback for an unknown camera or when
// anything throws (nothing may leave the library as an exception).
template <typename R, typename Fn>
R WithCamera(int cam, R fallback, Fn&& fn) {
  try {
    std::shared_ptr<SimCamera> camera = Simulator::Instance().Camera(cam);
    if (camera == nullptr) return fallback;
    return fn(*camera);
  } catch (const std::exception&) {
    return fallback;
  }
}

template <typename Fn>
void Guarded(Fn&& fn) {
  try {
    fn();
  } catch (const std::exception&) {
  }
}

}  // namespace

extern "C" {

void pyxsim_reset(void) {
  Guarded([] { Simulator::Instance().Reset(); });
}

int pyxsim_model_count(void) {
  return static_cast<int>(pyxsim::Catalogue().size());
}

const char* pyxsim_model_name(int i) {
  const auto& models = pyxsim::Catalogue();
  if (i < 0 || static_cast<size_t>(i) >= models.size()) return nullptr;
  return models[static_cast<size_t>(i)].record->name;
}

void pyxsim_detach_all(void) {
  Guarded([] { Simulator::Instance().DetachAll(); });
}

int pyxsim_attach(const char* model, const char* displayName, const char* id) {
  try {
    return Simulator::Instance().Attach(model, displayName, id);
  } catch (const std::exception&) {
    return -1;
  }
}

int pyxsim_camera_count(void) {
  return Simulator::Instance().CameraCount();
}

int pyxsim_get_option(int cam, uint32_t option, int32_t* value) {
  return WithCamera(cam, -1, [&](SimCamera& c) { return c.PeekOption(option, value); });
}

int pyxsim_set_option(int cam, uint32_t option, int32_t value) {
  return WithCamera(cam, -1, [&](SimCamera& c) { return c.ForceOption(option, value); });
}

int pyxsim_remove_option(int cam, uint32_t option) {
  return WithCamera(cam, -1, [&](SimCamera& c) { return c.RemoveOption(option); });
}

int pyxsim_set_named(int cam, const char* name, int32_t value) {
  if (name == nullptr) return -1;
  return WithCamera(cam, -1, [&](SimCamera& c) { return c.SetNamedForced(name, value); });
}

int pyxsim_get_named(int cam, const char* name, int32_t* value) {
  if (name == nullptr) return -1;
  return WithCamera(cam, -1, [&](SimCamera& c) { return c.GetNamedValue(name, value); });
}

int pyxsim_get_state(int cam, const char* key, int64_t* value) {
  if (key == nullptr) return -1;
  return WithCamera(cam, -1, [&](SimCamera& c) { return c.GetState(key, value); });
}

int pyxsim_set_state(int cam, const char* key, int64_t value) {
  if (key == nullptr) return -1;
  return WithCamera(cam, -1, [&](SimCamera& c) { return c.SetState(key, value); });
}

int pyxsim_set_lanes(int cam, const int32_t* values, int n, int current) {
  return WithCamera(cam, -1, [&](SimCamera& c) { return c.SetLanes(values, n, current); });
}

void pyxsim_fail_position(int position, int32_t result, int count) {
  Guarded([&] { Simulator::Instance().faults().Fail(position, result, count); });
}

void pyxsim_script_results(int position, const int32_t* results, int n) {
  Guarded([&] { Simulator::Instance().faults().Script(position, results, n); });
}

void pyxsim_delay_position(int position, uint32_t microseconds) {
  Guarded([&] { Simulator::Instance().faults().Delay(position, microseconds); });
}

void pyxsim_fail_open(int fail) {
  Simulator::Instance().SetFailOpen(fail != 0);
}

void pyxsim_fire_event(int cam, int32_t code) {
  WithCamera(cam, 0, [&](SimCamera& c) {
    c.FireEvent(code);
    return 0;
  });
}

int pyxsim_flush_events(int cam) {
  return WithCamera(cam, -1, [&](SimCamera& c) { return c.FlushEvents(); });
}

void pyxsim_hardware_pulse(int cam) {
  WithCamera(cam, 0, [&](SimCamera& c) {
    c.HardwarePulse();
    return 0;
  });
}

void pyxsim_set_frame_source(int cam, int mode) {
  WithCamera(cam, 0, [&](SimCamera& c) {
    c.SetFrameSource(mode);
    return 0;
  });
}

void pyxsim_set_frame_interval_us(int cam, uint32_t microseconds) {
  WithCamera(cam, 0, [&](SimCamera& c) {
    c.SetFrameIntervalUs(microseconds);
    return 0;
  });
}

void pyxsim_set_drop_percent(int cam, int percent) {
  WithCamera(cam, 0, [&](SimCamera& c) {
    c.SetDropPercent(percent);
    return 0;
  });
}

void pyxsim_disconnect(int cam) {
  WithCamera(cam, 0, [&](SimCamera& c) {
    c.Disconnect();
    return 0;
  });
}

void pyxsim_trace_enable(int on) {
  Simulator::Instance().trace().Enable(on != 0);
}

void pyxsim_trace_clear(void) {
  Guarded([] { Simulator::Instance().trace().Clear(); });
}

size_t pyxsim_trace_count(void) {
  return Simulator::Instance().trace().Count();
}

int pyxsim_trace_get(size_t i, PyxsimCall* out) {
  return Simulator::Instance().trace().Get(i, out) ? 0 : -1;
}

uint64_t pyxsim_frames_generated(int cam) {
  return WithCamera(cam, uint64_t{0}, [&](SimCamera& c) { return c.FramesGenerated(); });
}

int pyxsim_is_open(int cam) {
  return WithCamera(cam, 0, [&](SimCamera& c) { return c.IsOpen() ? 1 : 0; });
}

int pyxsim_open_count(int cam) {
  return WithCamera(cam, 0, [&](SimCamera& c) { return c.OpenCount(); });
}

int pyxsim_is_delivering(int cam) {
  return WithCamera(cam, 0, [&](SimCamera& c) { return c.IsDelivering() ? 1 : 0; });
}

int pyxsim_callbacks_in_flight(int cam) {
  return WithCamera(cam, 0, [&](SimCamera& c) { return c.CallbacksInFlight(); });
}

int pyxsim_stop_wait_expiries(int cam) {
  return WithCamera(cam, -1, [&](SimCamera& c) { return c.StopWaitExpiries(); });
}

uint64_t pyxsim_stop_wait_expiries_total(void) {
  return pyxsim::CurrentBehaviour().stopWaitExpiries.load();
}

void pyxsim_set_stop_waits_for_callbacks(int on) {
  pyxsim::CurrentBehaviour().stopWaitsForCallbacks.store(on != 0);
}

void pyxsim_set_stop_wait_limit_ms(uint32_t milliseconds) {
  pyxsim::CurrentBehaviour().stopWaitLimitMs.store(milliseconds);
}

void pyxsim_set_value_events_thread(int on) {
  pyxsim::CurrentBehaviour().valueEventsThread.store(on != 0);
}

void pyxsim_set_slow_link(int on) {
  pyxsim::CurrentBehaviour().slowLink.store(on != 0);
}

int pyxsim_ini_path(int cam, char* buffer, size_t size) {
  return WithCamera(cam, -1, [&](SimCamera& c) {
    const std::string path = c.IniPath();
    if (buffer != nullptr && size > 0) {
      const size_t n = std::min(size - 1, path.size());
      std::memcpy(buffer, path.data(), n);
      buffer[n] = '\0';
    }
    return static_cast<int>(path.size());
  });
}

int pyxsim_app_name(char* buffer, size_t size) {
  try {
    return Simulator::Instance().AppName(buffer, size);
  } catch (const std::exception&) {
    return -1;
  }
}

}  // extern "C"
