// The run report as compact JSON: members in declaration order, absent
// members left out (never null), integers in full (128-bit milliseconds
// included), strings escaped as json_text does.
#pragma once

#include <string>

#include "capture.hpp"
#include "run.hpp"

namespace kestrelite {

std::string report_json(const RunReport& report);
// One device's result, as it appears in the report's "results".
void append_device_result(std::string& out, const DeviceResult& result);
void append_capture_json(std::string& out, const Capture& capture);
void append_environment_json(std::string& out, const Environment& environment);

}  // namespace kestrelite
