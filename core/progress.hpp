// How a run tells its caller about each finished device.
//
// The run calls Progress::device_finished once per attempted device, after
// the attempt and before its result is stored, then asks stop_requested():
// a listener that answers true ends the run there, as fail-fast does.
// Collector is the plain implementation: it keeps one record per device and
// the counts per outcome, and never stops a run.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "capture.hpp"
#include "cdp.hpp"
#include "device.hpp"
#include "json_text.hpp"

namespace kestrelite {

enum class Outcome { Exact, OffSize, Failed };

constexpr std::string_view outcome_text(Outcome o) {
  switch (o) {
    case Outcome::Exact: return "exact";
    case Outcome::OffSize: return "off-size";
    case Outcome::Failed: return "failed";
  }
  return "failed";
}

// Whole milliseconds, truncated.
inline uint128 whole_millis(std::chrono::nanoseconds d) {
  return d.count() <= 0 ? 0 : static_cast<uint128>(d.count()) / 1000000u;
}

// Where one device's time went, for benchmarks; phases a failed attempt
// did not reach stay zero, and so does the launch of a capture in a session
// whose browser was already running. Shutdown is the ended browser, or a
// session's disposed browser context.
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

}  // namespace kestrelite
