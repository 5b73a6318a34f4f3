#include "progress.hpp"

namespace kestrelite {

void Collector::device_finished(const DeviceEvent& event) {
  ++counts[static_cast<std::size_t>(event.outcome)];
  finished.push_back({event.device.id, event.outcome, whole_millis(event.elapsed)});
}

}  // namespace kestrelite
