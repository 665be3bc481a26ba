// Control interface of the simulated camera library (libPyxon.so).
//
// Tests, the command-line tool and the benchmarks steer the simulator through
// these C exports. They never link libPyxon: the module loads the library, and
// a client reaches the same instance with dlopen(path, RTLD_NOW | RTLD_NOLOAD)
// (or a plain dlopen of the same file) and dlsym. sim_client.h wraps that.
//
// Cameras are addressed by their index in the attached list (the order in which
// DllEnumCamera reports them). Every function is thread-safe and may be called
// while the adapter uses the cameras; none of them calls into the adapter on the
// caller's thread (events always arrive from the simulator's own threads).
//
// Result conventions: functions returning int answer 0 (or a count) on success
// and -1 for an unknown camera, model, name or a refused value.
#pragma once

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define PYXSIM_API __attribute__((visibility("default")))

// One traced call. position: the CameraHandle position, -1 for DllOpen.
// camera: attached-list index of the camera (-1 when unknown or detached).
// args: the integer arguments in call order; values written for setters
// (SetWhiteBalanceGains records the three gains); out pointers are recorded as
// 0, except GetOption (94), whose args[1] holds the value preset in the output
// variable (it selects the read form of some options). IoControl records line,
// command, value. StartPullWithCallback (158) records args[0] = the callback
// and args[1] = the context, as integers. text: the name argument of 189, 195
// and 196, or the open text of DllOpen (truncated to 63 characters).
// result: what the call answered (DllOpen: 0 for a handle, -1 for null).
typedef struct PyxsimCall {
  int32_t camera;
  int32_t position;
  int64_t args[6];
  char text[64];
  int32_t result;
} PyxsimCall;

// Written by a pull (position 184) when its fifth argument is not null.
typedef struct PyxsimFrameInfo {
  uint32_t width;
  uint32_t height;
  uint32_t bits;  // bits per pixel of the written layout
  uint32_t reserved;
  uint64_t frameNumber;  // the stamped number
  uint64_t timestampUs;  // monotonic microseconds at generation
} PyxsimFrameInfo;

// Restores: catalogue defaults of every camera's settings, the default attached
// list, no faults, scripts or delays, trace cleared and enabled, DllOpen not
// failing, normal frame source, no drops, derived frame timing, the realistic
// behaviour switches on (slow link off, stop-wait limit 5 s) and the stop-wait
// expiry counts at 0. Opened cameras
// stay open (the adapter owns them); an opened camera that is also in the
// default list keeps its identity, its delivery state and its geometry and
// format (resolution, region, options 11, 12, 23, 24, 26), so that frames never
// outgrow the adapter's buffer behind its back.
PYXSIM_API void pyxsim_reset(void);

// The catalogue of models.
PYXSIM_API int pyxsim_model_count(void);
PYXSIM_API const char* pyxsim_model_name(int i);  // null outside 0..count-1

// The attached list. Detaching keeps opened cameras working for their handles.
PYXSIM_API void pyxsim_detach_all(void);
// → new camera index, or -1 for an unknown model, a duplicate identifier or a
// full list (128). displayName defaults to the model name, numbered from the
// second camera of that name on ("PX-120M #2"), id to "SIM-<n>" with n = the
// new index + 1.
PYXSIM_API int pyxsim_attach(const char* model, const char* displayName, const char* id);
PYXSIM_API int pyxsim_camera_count(void);

// Numbered options as the camera stores them. set forces a value, also for
// read-only and computed options (it then stays fixed until reset or factory
// reset) and adds the option when the model lacks it. remove makes
// GetOption/SetOption of that option fail.
PYXSIM_API int pyxsim_get_option(int cam, uint32_t option, int32_t* value);
PYXSIM_API int pyxsim_set_option(int cam, uint32_t option, int32_t value);
PYXSIM_API int pyxsim_remove_option(int cam, uint32_t option);

// Named values of positions 189, 195 and 196 ("issupportgain", "supportbandwidth",
// "maxCDS", "defAntiBlooming", "AwbInterval", "AwbOff"). set adds unknown names.
PYXSIM_API int pyxsim_set_named(int cam, const char* name, int32_t value);
PYXSIM_API int pyxsim_get_named(int cam, const char* name, int32_t* value);

// Other camera state by key (see the list in sim_camera.cpp; for example
// "exposure" (us), "gain", "autoexposure", "aetarget", "aemaxtime", "aemaxgain",
// "wb.r", "wb.g", "wb.b", "hue", "saturation", "brightness", "contrast",
// "gamma", "vflip", "hflip", "speed", "powerfrequency", "skip", "negative",
// "fan", "tectarget", "temperature" (tenths, drifts from there), "resolution",
// "roi.x", "roi.y", "roi.w", "roi.h", "triggersource", "counter",
// "line<N>.capabilities", "line<N>.direction", "line<N>.inverter",
// "line<N>.activation", "line<N>.debouncer", "line<N>.delay",
// "line<N>.countersource", "line<N>.pwmsource", "line<N>.outputmode",
// "strobe.mode", "strobe.delay", "strobe.duration", "useroutput",
// "countervalue"). set writes without validation.
PYXSIM_API int pyxsim_get_state(int cam, const char* key, int64_t* value);
PYXSIM_API int pyxsim_set_state(int cam, const char* key, int64_t value);

// Lane settings of option 126: n values (1..16) and the current index.
PYXSIM_API int pyxsim_set_lanes(int cam, const int32_t* values, int n, int current);

// Fault injection, for every camera. fail_position: the next count calls of
// that CameraHandle position (-1 = until cleared, 0 = clear) answer result
// without effect. script_results: the next n calls answer these results in
// order; a negative result answers without effect, a result >= 0 performs the
// call and answers that value instead of the real one, except for position
// 184, where it performs the real pull and answers the real result.
// A failure set by fail_position takes precedence over a script.
PYXSIM_API void pyxsim_fail_position(int position, int32_t result, int count);
PYXSIM_API void pyxsim_script_results(int position, const int32_t* results, int n);
// Every call of that position sleeps this long before it runs (0 = no delay).
PYXSIM_API void pyxsim_delay_position(int position, uint32_t microseconds);
// DllOpen answers null while set.
PYXSIM_API void pyxsim_fail_open(int fail);

// Delivers the event through the registered callback, from the camera's
// worker thread (the one of event 4), asynchronously (also in never-deliver mode; dropped when no
// callback is registered). flush waits (at most 5 s) until every event queued
// before the call has been delivered or dropped: 0, or -1 on timeout, unknown
// camera, or a call from inside a callback.
PYXSIM_API void pyxsim_fire_event(int cam, int32_t code);
PYXSIM_API int pyxsim_flush_events(int cam);

// One hardware trigger pulse: a frame when option 11 is 1, delivery runs and the
// trigger source (IoControl command 14) is a hardware source (0 to 4).
PYXSIM_API void pyxsim_hardware_pulse(int cam);

// 0 normal; 1 never deliver (no frames and no spontaneous events).
PYXSIM_API void pyxsim_set_frame_source(int cam, int mode);
// Frame interval in microseconds, free-running and from a software trigger to
// its frame; 0 = derived from exposure, frame rate, speed and geometry.
PYXSIM_API void pyxsim_set_frame_interval_us(int cam, uint32_t microseconds);
// Percentage (0..100) of generated frames dropped before delivery (the frame
// number is used up, so pulls show a gap).
PYXSIM_API void pyxsim_set_drop_percent(int cam, int percent);
// Unplugs the camera: event 0x81 is delivered, and every later call of its
// handle fails with 0x8007001F (pulls included) until pyxsim_reset.
PYXSIM_API void pyxsim_disconnect(int cam);

// Realistic behaviour, library-wide; each switch is on after reset except the
// slow link, and exists to turn the behaviour off where a test needs the
// gentler one.
//
// 159 and 160 end delivery, then wait until no callback of the camera is in
// flight on any of its threads, at most the stop-wait limit (default 5000 ms);
// from inside a callback on one of that camera's threads they return at once.
PYXSIM_API void pyxsim_set_stop_waits_for_callbacks(int on);
PYXSIM_API void pyxsim_set_stop_wait_limit_ms(uint32_t milliseconds);
// How often a wait of 159 or 160 ran out its limit since reset (a callback
// outlived it): per camera (-1 for an unknown camera), and over every camera.
PYXSIM_API int pyxsim_stop_wait_expiries(int cam);
PYXSIM_API uint64_t pyxsim_stop_wait_expiries_total(void);
// Events 1 and 6 (exposure, white balance) come from a second thread per open
// camera, concurrently with event 4 from the worker. Read at open: a camera
// opened while off delivers everything from its worker.
PYXSIM_API void pyxsim_set_value_events_thread(int on);
// Per-position latency: 93 and 94 take 1 ms, 158, 159 and 160 take 5 ms, every
// other position 0.2 ms (the pull included), on top of pyxsim_delay_position.
PYXSIM_API void pyxsim_set_slow_link(int on);

// Call trace (bounded: the last 100000 calls are kept).
PYXSIM_API void pyxsim_trace_enable(int on);
PYXSIM_API void pyxsim_trace_clear(void);
PYXSIM_API size_t pyxsim_trace_count(void);
PYXSIM_API int pyxsim_trace_get(size_t i, PyxsimCall* out);  // i = 0 is the oldest kept

// Observation.
PYXSIM_API uint64_t pyxsim_frames_generated(int cam);  // since the last open
PYXSIM_API int pyxsim_is_open(int cam);
PYXSIM_API int pyxsim_open_count(int cam);     // successful DllOpen calls since reset
PYXSIM_API int pyxsim_is_delivering(int cam);  // between 158 and 159
PYXSIM_API int pyxsim_callbacks_in_flight(int cam);
// Copies the ini path of the last open (terminated, truncated to size); → its
// full length, or -1.
PYXSIM_API int pyxsim_ini_path(int cam, char* buffer, size_t size);
// The text last given to DllAppName; → its full length, or -1 when none.
PYXSIM_API int pyxsim_app_name(char* buffer, size_t size);

#ifdef __cplusplus
}  // extern "C"
#endif

// Reads the frame number that the simulator stamps into the first 8 and the
// last 8 bytes of every frame (little endian). False when bytes < 16 or when
// the two copies differ (a torn or overwritten frame).
static inline bool pyxsim_read_stamp(const void* pixels, size_t bytes, uint64_t* number) {
  if (pixels == NULL || bytes < 16) return false;
  const unsigned char* p = (const unsigned char*)pixels;
  uint64_t head = 0;
  uint64_t tail = 0;
  for (int i = 7; i >= 0; --i) {
    head = (head << 8) | p[i];
    tail = (tail << 8) | p[bytes - 8 + (size_t)i];
  }
  if (head != tail) return false;
  if (number != NULL) *number = head;
  return true;
}
