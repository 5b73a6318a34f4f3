// The pieces of the report's JSON, apart for their tests.
#pragma once

#include <string>

#include "kestrelite/report.hpp"

namespace kestrelite {

void append_device_result(std::string& out, const DeviceResult& result);
void append_capture_json(std::string& out, const Capture& capture);
void append_environment_json(std::string& out, const Environment& environment);

}  // namespace kestrelite
