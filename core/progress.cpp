#include "kestrelite/progress.hpp"

namespace kestrelite {

namespace {

TimingsListener timings_listener = nullptr;

}  // namespace

void Collector::device_finished(const DeviceEvent& event) {
  ++counts[static_cast<std::size_t>(event.outcome)];
  finished.push_back({event.device.id, event.outcome, whole_millis(event.elapsed)});
}

void set_timings_listener(TimingsListener listener) { timings_listener = listener; }

void notify_timings(const DeviceEvent& event) {
  if (timings_listener) timings_listener(event);
}

}  // namespace kestrelite
