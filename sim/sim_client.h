// Header-only C++ access to the simulator's control interface (sim_control.h).
//
// pyxsim::Client binds the pyxsim_* exports of an already loaded libPyxon.so
// (dlopen with RTLD_NOLOAD), or loads the library itself when nobody has yet;
// the module then finds the same instance when it loads the same file. The
// client keeps its reference to the library until it is destroyed.
//
//   pyxsim::Client sim;            // PYXON_BUILD_LIB_DIR "/libPyxon.so"
//   ASSERT_TRUE(sim.ok()) << sim.error();
//   sim.reset();
//   sim.fire_event(0, 4);
//
// Every method is a thin call of the export of the same name; on a client that
// is not ok() they answer -1, 0, false or nothing instead of crashing.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_control.h"

namespace pyxsim {

class Client {
 public:
#ifdef PYXON_BUILD_LIB_DIR
  Client() : Client(std::string(PYXON_BUILD_LIB_DIR) + "/libPyxon.so") {}
#endif
  explicit Client(const std::string& libraryPath) {
    library_ = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (library_ == nullptr) library_ = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
      const char* text = dlerror();
      error_ = text != nullptr ? text : "cannot load " + libraryPath;
      return;
    }
    BindAll();
  }
  ~Client() {
    if (library_ != nullptr) dlclose(library_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool ok() const {
    return library_ != nullptr && error_.empty();
  }
  const std::string& error() const {
    return error_;
  }
  void* library() const {
    return library_;
  }

  void reset() const {
    Call(reset_);
  }
  int model_count() const {
    return Answer(model_count_, 0);
  }
  const char* model_name(int i) const {
    return Answer(model_name_, static_cast<const char*>(nullptr), i);
  }
  void detach_all() const {
    Call(detach_all_);
  }
  int attach(const char* model, const char* displayName = nullptr, const char* id = nullptr) const {
    return Answer(attach_, -1, model, displayName, id);
  }
  int camera_count() const {
    return Answer(camera_count_, 0);
  }
  int get_option(int cam, uint32_t option, int32_t* value) const {
    return Answer(get_option_, -1, cam, option, value);
  }
  int set_option(int cam, uint32_t option, int32_t value) const {
    return Answer(set_option_, -1, cam, option, value);
  }
  int remove_option(int cam, uint32_t option) const {
    return Answer(remove_option_, -1, cam, option);
  }
  int set_named(int cam, const char* name, int32_t value) const {
    return Answer(set_named_, -1, cam, name, value);
  }
  int get_named(int cam, const char* name, int32_t* value) const {
    return Answer(get_named_, -1, cam, name, value);
  }
  int get_state(int cam, const char* key, int64_t* value) const {
    return Answer(get_state_, -1, cam, key, value);
  }
  int set_state(int cam, const char* key, int64_t value) const {
    return Answer(set_state_, -1, cam, key, value);
  }
  int set_lanes(int cam, const int32_t* values, int n, int current) const {
    return Answer(set_lanes_, -1, cam, values, n, current);
  }
  void fail_position(int position, int32_t result, int count) const {
    Call(fail_position_, position, result, count);
  }
  void script_results(int position, const int32_t* results, int n) const {
    Call(script_results_, position, results, n);
  }
  void script_results(int position, const std::vector<int32_t>& results) const {
    script_results(position, results.data(), static_cast<int>(results.size()));
  }
  void delay_position(int position, uint32_t microseconds) const {
    Call(delay_position_, position, microseconds);
  }
  void fail_open(int fail) const {
    Call(fail_open_, fail);
  }
  void fire_event(int cam, int32_t code) const {
    Call(fire_event_, cam, code);
  }
  int flush_events(int cam) const {
    return Answer(flush_events_, -1, cam);
  }
  void hardware_pulse(int cam) const {
    Call(hardware_pulse_, cam);
  }
  void set_frame_source(int cam, int mode) const {
    Call(set_frame_source_, cam, mode);
  }
  void set_frame_interval_us(int cam, uint32_t microseconds) const {
    Call(set_frame_interval_us_, cam, microseconds);
  }
  void set_drop_percent(int cam, int percent) const {
    Call(set_drop_percent_, cam, percent);
  }
  void disconnect(int cam) const {
    Call(disconnect_, cam);
  }
  void trace_enable(int on) const {
    Call(trace_enable_, on);
  }
  void trace_clear() const {
    Call(trace_clear_);
  }
  size_t trace_count() const {
    return Answer(trace_count_, size_t{0});
  }
  int trace_get(size_t i, PyxsimCall* out) const {
    return Answer(trace_get_, -1, i, out);
  }
  uint64_t frames_generated(int cam) const {
    return Answer(frames_generated_, uint64_t{0}, cam);
  }
  int is_open(int cam) const {
    return Answer(is_open_, 0, cam);
  }
  int open_count(int cam) const {
    return Answer(open_count_, 0, cam);
  }
  int is_delivering(int cam) const {
    return Answer(is_delivering_, 0, cam);
  }
  int callbacks_in_flight(int cam) const {
    return Answer(callbacks_in_flight_, 0, cam);
  }
  void set_stop_waits_for_callbacks(int on) const {
    Call(set_stop_waits_for_callbacks_, on);
  }
  void set_stop_wait_limit_ms(uint32_t milliseconds) const {
    Call(set_stop_wait_limit_ms_, milliseconds);
  }
  int stop_wait_expiries(int cam) const {
    return Answer(stop_wait_expiries_, -1, cam);
  }
  uint64_t stop_wait_expiries_total() const {
    return Answer(stop_wait_expiries_total_, uint64_t{0});
  }
  void set_value_events_thread(int on) const {
    Call(set_value_events_thread_, on);
  }
  void set_slow_link(int on) const {
    Call(set_slow_link_, on);
  }

  // Conveniences over the exports.
  std::string ini_path(int cam) const {
    return FetchText([&](char* b, size_t n) { return Answer(ini_path_, -1, cam, b, n); });
  }
  std::string app_name() const {
    return FetchText([&](char* b, size_t n) { return Answer(app_name_, -1, b, n); });
  }
  int32_t option(int cam, uint32_t id, int32_t fallback = -1) const {
    int32_t value = fallback;
    return get_option(cam, id, &value) == 0 ? value : fallback;
  }
  int64_t state(int cam, const char* key, int64_t fallback = -1) const {
    int64_t value = fallback;
    return get_state(cam, key, &value) == 0 ? value : fallback;
  }
  // Every kept call, oldest first.
  std::vector<PyxsimCall> trace() const {
    std::vector<PyxsimCall> calls;
    const size_t n = trace_count();
    calls.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      PyxsimCall call{};
      if (trace_get(i, &call) == 0) calls.push_back(call);
    }
    return calls;
  }
  // The kept calls of one position (and camera, unless camera is -2).
  std::vector<PyxsimCall> calls(int position, int camera = -2) const {
    std::vector<PyxsimCall> matching;
    for (const PyxsimCall& call : trace()) {
      if (call.position == position && (camera == -2 || call.camera == camera)) {
        matching.push_back(call);
      }
    }
    return matching;
  }
  size_t count_calls(int position, int camera = -2) const {
    return calls(position, camera).size();
  }
  // The kept SetOption calls of one option id, oldest first.
  std::vector<PyxsimCall> option_writes(uint32_t option, int camera = -2) const {
    std::vector<PyxsimCall> writes;
    for (const PyxsimCall& call : calls(93, camera)) {
      if (call.args[0] == static_cast<int64_t>(option)) writes.push_back(call);
    }
    return writes;
  }

 private:
  template <typename Fn>
  bool Bind(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(dlsym(library_, name));
    if (fn == nullptr && error_.empty()) error_ = std::string("missing export ") + name;
    return fn != nullptr;
  }
  void BindAll() {
    Bind(reset_, "pyxsim_reset");
    Bind(model_count_, "pyxsim_model_count");
    Bind(model_name_, "pyxsim_model_name");
    Bind(detach_all_, "pyxsim_detach_all");
    Bind(attach_, "pyxsim_attach");
    Bind(camera_count_, "pyxsim_camera_count");
    Bind(get_option_, "pyxsim_get_option");
    Bind(set_option_, "pyxsim_set_option");
    Bind(remove_option_, "pyxsim_remove_option");
    Bind(set_named_, "pyxsim_set_named");
    Bind(get_named_, "pyxsim_get_named");
    Bind(get_state_, "pyxsim_get_state");
    Bind(set_state_, "pyxsim_set_state");
    Bind(set_lanes_, "pyxsim_set_lanes");
    Bind(fail_position_, "pyxsim_fail_position");
    Bind(script_results_, "pyxsim_script_results");
    Bind(delay_position_, "pyxsim_delay_position");
    Bind(fail_open_, "pyxsim_fail_open");
    Bind(fire_event_, "pyxsim_fire_event");
    Bind(flush_events_, "pyxsim_flush_events");
    Bind(hardware_pulse_, "pyxsim_hardware_pulse");
    Bind(set_frame_source_, "pyxsim_set_frame_source");
    Bind(set_frame_interval_us_, "pyxsim_set_frame_interval_us");
    Bind(set_drop_percent_, "pyxsim_set_drop_percent");
    Bind(disconnect_, "pyxsim_disconnect");
    Bind(trace_enable_, "pyxsim_trace_enable");
    Bind(trace_clear_, "pyxsim_trace_clear");
    Bind(trace_count_, "pyxsim_trace_count");
    Bind(trace_get_, "pyxsim_trace_get");
    Bind(frames_generated_, "pyxsim_frames_generated");
    Bind(is_open_, "pyxsim_is_open");
    Bind(open_count_, "pyxsim_open_count");
    Bind(is_delivering_, "pyxsim_is_delivering");
    Bind(callbacks_in_flight_, "pyxsim_callbacks_in_flight");
    Bind(set_stop_waits_for_callbacks_, "pyxsim_set_stop_waits_for_callbacks");
    Bind(set_stop_wait_limit_ms_, "pyxsim_set_stop_wait_limit_ms");
    Bind(stop_wait_expiries_, "pyxsim_stop_wait_expiries");
    Bind(stop_wait_expiries_total_, "pyxsim_stop_wait_expiries_total");
    Bind(set_value_events_thread_, "pyxsim_set_value_events_thread");
    Bind(set_slow_link_, "pyxsim_set_slow_link");
    Bind(ini_path_, "pyxsim_ini_path");
    Bind(app_name_, "pyxsim_app_name");
  }
  template <typename Fn, typename... Args>
  void Call(Fn fn, Args... args) const {
    if (fn != nullptr) fn(args...);
  }
  template <typename Fn, typename R, typename... Args>
  R Answer(Fn fn, R fallback, Args... args) const {
    return fn != nullptr ? static_cast<R>(fn(args...)) : fallback;
  }
  template <typename Fetch>
  static std::string FetchText(Fetch fetch) {
    std::vector<char> buffer(256);
    int length = fetch(buffer.data(), buffer.size());
    if (length < 0) return std::string();
    if (static_cast<size_t>(length) >= buffer.size()) {
      buffer.resize(static_cast<size_t>(length) + 1);
      length = fetch(buffer.data(), buffer.size());
      if (length < 0) return std::string();
    }
    return std::string(buffer.data());
  }

  void* library_ = nullptr;
  std::string error_;
  void (*reset_)() = nullptr;
  int (*model_count_)() = nullptr;
  const char* (*model_name_)(int) = nullptr;
  void (*detach_all_)() = nullptr;
  int (*attach_)(const char*, const char*, const char*) = nullptr;
  int (*camera_count_)() = nullptr;
  int (*get_option_)(int, uint32_t, int32_t*) = nullptr;
  int (*set_option_)(int, uint32_t, int32_t) = nullptr;
  int (*remove_option_)(int, uint32_t) = nullptr;
  int (*set_named_)(int, const char*, int32_t) = nullptr;
  int (*get_named_)(int, const char*, int32_t*) = nullptr;
  int (*get_state_)(int, const char*, int64_t*) = nullptr;
  int (*set_state_)(int, const char*, int64_t) = nullptr;
  int (*set_lanes_)(int, const int32_t*, int, int) = nullptr;
  void (*fail_position_)(int, int32_t, int) = nullptr;
  void (*script_results_)(int, const int32_t*, int) = nullptr;
  void (*delay_position_)(int, uint32_t) = nullptr;
  void (*fail_open_)(int) = nullptr;
  void (*fire_event_)(int, int32_t) = nullptr;
  int (*flush_events_)(int) = nullptr;
  void (*hardware_pulse_)(int) = nullptr;
  void (*set_frame_source_)(int, int) = nullptr;
  void (*set_frame_interval_us_)(int, uint32_t) = nullptr;
  void (*set_drop_percent_)(int, int) = nullptr;
  void (*disconnect_)(int) = nullptr;
  void (*trace_enable_)(int) = nullptr;
  void (*trace_clear_)() = nullptr;
  size_t (*trace_count_)() = nullptr;
  int (*trace_get_)(size_t, PyxsimCall*) = nullptr;
  uint64_t (*frames_generated_)(int) = nullptr;
  int (*is_open_)(int) = nullptr;
  int (*open_count_)(int) = nullptr;
  int (*is_delivering_)(int) = nullptr;
  int (*callbacks_in_flight_)(int) = nullptr;
  void (*set_stop_waits_for_callbacks_)(int) = nullptr;
  void (*set_stop_wait_limit_ms_)(uint32_t) = nullptr;
  int (*stop_wait_expiries_)(int) = nullptr;
  uint64_t (*stop_wait_expiries_total_)() = nullptr;
  void (*set_value_events_thread_)(int) = nullptr;
  void (*set_slow_link_)(int) = nullptr;
  int (*ini_path_)(int, char*, size_t) = nullptr;
  int (*app_name_)(char*, size_t) = nullptr;
};

}  // namespace pyxsim
