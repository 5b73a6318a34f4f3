// One device captured through one browser page, start to finish.
//
// capture() makes the page look like the device (metrics, user agent,
// touch, time zone, locale), installs the determinism script, navigates,
// waits for the page to settle, asks the page what it sees, takes a PNG
// screenshot, checks its pixel size against the preset and digests it. It
// returns the record and the decoded image; it writes no file. The first
// failing step ends the capture, except that four optional emulation
// commands may be refused as unknown or unsupported, and a failed probe
// only leaves the environment out. A page that did not load is a failure:
// a navigation the browser reports as failed, and an http or https
// document that answered with an error status.
//
// While the page loads and settles, capture() follows what the page does
// through its events: a JavaScript dialog (alert, confirm, prompt,
// beforeunload) is dismissed at once (a beforeunload one is accepted, so
// that the page may leave) and noted; the page's own requests (documents,
// stylesheets, scripts, data, fonts and images of the page and its frames)
// are counted, and the count is handed to the settle wait, which does not
// end while any is in flight; and a new document in the main frame (a
// script redirect, a meta refresh, location.replace) starts the settle
// wait again on that document, within the same deadline. A page still
// navigating when the deadline passes fails, naming its last address.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cdp.hpp"
#include "determinism.hpp"
#include "kestrelite/device.hpp"
#include "kestrelite/error.hpp"
#include "kestrelite/progress.hpp"
#include "kestrelite/report.hpp"
#include "png.hpp"

namespace kestrelite {

// What one capture borrows from its caller.
struct CaptureRequest {
  const std::string& url;
  const Device& device;
  const CaptureSettings& settings;
};

struct CapturedImage {
  Capture capture;
  std::string png;  // the decoded screenshot, exactly the bytes to write
  CaptureTimings timings;
};

// A DevTools command of the capture, in the order it is sent. `tolerant`
// commands go through swallow_unsupported.
struct Command {
  std::string method;
  nlohmann::json params;
  bool tolerant = false;
};

// The commands that prepare, load and settle the page, in order: everything
// before the probe and the screenshot. The settle wait's command is sent
// again, with the time left, on every new document of the main frame.
std::vector<Command> page_commands(const CaptureRequest& request);

Result<CapturedImage> capture(Connection& page, const CaptureRequest& request);

// An error whose message contains "wasn't found" or "not supported" becomes
// a null result; every other outcome is returned unchanged.
Result<nlohmann::json> swallow_unsupported(Result<nlohmann::json> outcome);

inline constexpr std::string_view kProbeExpression =
    "({w:innerWidth,h:innerHeight,d:devicePixelRatio,t:(navigator.maxTouchPoints||0)})";

Result<Environment> probe_environment(Connection& page, std::uint32_t viewport_width, std::uint32_t viewport_height);

// The HTTP status of the document the page holds, from its navigation
// timing entry; undefined or 0 where there is none.
inline constexpr std::string_view kStatusExpression =
    "(performance.getEntriesByType('navigation')[0]||{}).responseStatus";

// What a settle wait's answer and the waits the page reported open say
// about how it ended: `settle` and `settle_open` of a Capture. `open` is the
// answer to kOpenWaitsExpression, read only after a wait that timed out;
// `network` adds "network" when requests were in flight at its end.
void read_settle(const nlohmann::json& answer, const nlohmann::json& open, bool network, Capture& capture);

inline constexpr std::string_view kOpenWaitsExpression = "window[Symbol.for('kestrelite.open')]";

// The expression that tells the settle wait how many of the page's requests
// are in flight.
std::string network_expression(std::size_t in_flight);

// The binding through which the settle wait asks, before it counts the page
// as quiet, how many of the page's requests the capture knows in flight, and
// the expression that answers question number `question` with that count.
inline constexpr std::string_view kBarrierBinding = "kestreliteSettleBarrier";
std::string barrier_expression(std::uint64_t question, std::size_t in_flight);

// Whether the page at `url` has an HTTP status to check: http and https.
bool has_http_status(std::string_view url);

// Error::Browser "page did not load: <reason> (<url>)" when the answer to
// Page.navigate carries the browser's reason for a failed navigation.
Result<void> check_navigation(const nlohmann::json& answer, std::string_view url);

// Error::Browser "page answered HTTP <status> (<url>)" when the answer to
// kStatusExpression is a status of 400 or above; anything else passes.
Result<void> check_status(const nlohmann::json& answer, std::string_view url);

// The environment in a probe's answer, judged against the requested viewport.
Result<Environment> environment_from_answer(const nlohmann::json& answer, std::uint32_t viewport_width,
                                            std::uint32_t viewport_height);

}  // namespace kestrelite
