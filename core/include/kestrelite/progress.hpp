// How a run tells its caller about each finished device, and where the time
// of a capture went.
//
// The run calls Progress::device_finished once per attempted device, after
// the attempt and before its result is stored, then asks stop_requested():
// a listener that answers true ends the run there, as fail-fast does.
// Collector is the plain implementation: it keeps one record per device and
// the counts per outcome, and never stops a run.
//
// Every finished capture, of a run or of a session, is also handed to the
// timings listener when one is set: a benchmark build sets one from its own
// side (set_timings_listener) to record the phases; other builds set none.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "kestrelite/device.hpp"
#include "kestrelite/report.hpp"

namespace kestrelite {

// Whole milliseconds, truncated.
inline uint128 whole_millis(std::chrono::nanoseconds d) {
  return d.count() <= 0 ? 0 : static_cast<uint128>(d.count()) / 1000000u;
}

// Time spent in the phases of a launch.
struct LaunchTimings {
  std::chrono::nanoseconds spawn_to_port{0};
  std::chrono::nanoseconds port_to_attached{0};
};

// Time spent in the phases of one capture on its page.
struct CaptureTimings {
  std::chrono::nanoseconds emulation{0};
  std::chrono::nanoseconds navigate{0};
  std::chrono::nanoseconds settle{0};
  std::chrono::nanoseconds probe{0};
  std::chrono::nanoseconds screenshot{0};
  std::chrono::nanoseconds glyphs{0};
  std::chrono::nanoseconds decode{0};
};

// Where one device's time went; phases a failed attempt did not reach stay
// zero, and so does the launch of a capture in a session whose browser was
// already running. Shutdown is the ended browser, or a session's disposed
// browser context.
struct DeviceTimings {
  LaunchTimings launch;
  // A session's browser context and page, made for this capture.
  std::chrono::nanoseconds context{0};
  CaptureTimings capture;
  std::chrono::nanoseconds write{0};
  std::chrono::nanoseconds shutdown{0};
};

struct DeviceEvent {
  std::chrono::nanoseconds elapsed;
  const Device& device;
  std::size_t index;  // from 1
  std::size_t total;
  const Capture* capture;     // exact and off-size
  const std::string* error;   // failed
  Outcome outcome;
  const DeviceTimings& timings;
};

class Progress {
 public:
  virtual ~Progress() = default;
  virtual void device_finished(const DeviceEvent& event) = 0;
  virtual bool stop_requested() { return false; }
};

class Collector final : public Progress {
 public:
  struct Finished {
    std::string device_id;
    Outcome outcome;
    uint128 elapsed_ms;
  };

  void device_finished(const DeviceEvent& event) override;

  std::vector<Finished> finished;
  std::array<std::size_t, 3> counts{};  // indexed by Outcome
};

using TimingsListener = void (*)(const DeviceEvent& event);
// Set once, before any capture starts.
void set_timings_listener(TimingsListener listener);
// Hands the event to the listener, when one is set.
void notify_timings(const DeviceEvent& event);

}  // namespace kestrelite
