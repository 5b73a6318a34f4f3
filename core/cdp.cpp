#include "cdp.hpp"

#include <thread>
#include <utility>

#include "http.hpp"

namespace kestrelite {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

}  // namespace

Result<json> parse_devtools_message(std::string_view text) {
  try {
    return json::parse(text);
  } catch (const json::parse_error& e) {
    return fail(Error::json_syntax(text, e.byte, json_parser_message(e.what())));
  }
}

namespace {

// One attach attempt: the page's WebSocket URL, or why there is none yet.
std::expected<std::string, std::string> page_url(std::uint16_t port) {
  auto body = http_get(port, "/json/list");
  if (!body) return std::unexpected(body.error().display());
  auto parsed = parse_devtools_message(*body);
  if (!parsed) return std::unexpected("bad target list: " + parsed.error().message());
  const json& targets = *parsed;
  if (!targets.is_array()) return std::unexpected("target list was not an array");
  for (const json& target : targets) {
    auto type = target.find("type");
    if (!target.is_object() || type == target.end() || *type != "page") continue;
    auto url = target.find("webSocketDebuggerUrl");
    if (url != target.end() && url->is_string()) return url->get<std::string>();
    break;
  }
  return std::unexpected("no page target yet");
}

}  // namespace

std::vector<std::string> browser_arguments(const LaunchOptions& o) {
  std::vector<std::string> args = {
      "--remote-debugging-port=" + std::to_string(o.port),
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--hide-scrollbars",
      "--mute-audio",
      "--no-first-run",
      "--no-default-browser-check",
      "--disable-dev-shm-usage",
      "--force-device-scale-factor=1",
      "--disable-background-timer-throttling",
      "--disable-renderer-backgrounding",
      "--disable-backgrounding-occluded-windows",
  };
  if (o.user_data_dir) args.push_back("--user-data-dir=" + o.user_data_dir->string());
  args.insert(args.end(), o.extra_args.begin(), o.extra_args.end());
  args.push_back("about:blank");
  return args;
}

Result<Browser> Browser::launch(const LaunchOptions& options) {
  const auto started = Clock::now();
  auto child = ChildProcess::spawn(options.executable, browser_arguments(options));
  if (!child) return fail(Error::browser("could not spawn " + options.executable.string() + ": " + child.error().message()));

  // From here on, every early return drops `child`, which kills the whole
  // process group and reaps it, and `reader`, which stops and joins.
  UniqueFd stderr_read = child->take_stderr();
  if (!stderr_read) return fail(Error::browser("no stderr pipe"));
  auto reader = read_devtools_port(std::move(stderr_read));
  if (!reader) return fail(std::move(reader.error()));

  std::optional<std::uint16_t> port = reader->receive(options.timeout);
  if (!port) return fail(Error::browser("browser did not report a DevTools port"));
  const auto port_known = Clock::now();

  const auto deadline = port_known + options.timeout;
  std::string last_error = "no attempt made";
  for (;;) {
    if (Clock::now() >= deadline) return fail(Error::browser("could not attach: " + last_error));
    auto url = page_url(*port);
    if (url) {
      auto ws = Ws::connect(*url, options.timeout);
      if (!ws) return fail(std::move(ws.error()));
      LaunchTimings timings{port_known - started, Clock::now() - port_known};
      return Browser(std::move(*reader), std::move(*child), std::move(*ws), timings);
    }
    last_error = std::move(url.error());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

Browser::Browser(Browser&& other) noexcept
    : reader_(std::move(other.reader_)),
      child_(std::move(other.child_)),
      ws_(std::move(other.ws_)),
      next_id_(other.next_id_),
      timings_(other.timings_),
      live_(std::exchange(other.live_, false)) {}

Browser::~Browser() {
  if (live_) ws_.close();
}

Result<json> Browser::call(std::string_view method, json params) {
  const std::uint64_t id = ++next_id_;
  json request = json::object();
  request["id"] = id;
  request["method"] = method;
  request["params"] = std::move(params);
  if (auto sent = ws_.send_frame(ws::kText, request.dump()); !sent) return fail(std::move(sent.error()));
  for (;;) {
    auto text = ws_.recv_text();
    if (!text) return fail(std::move(text.error()));
    auto message = parse_devtools_message(*text);
    if (!message) return fail(std::move(message.error()));
    if (!message->is_object()) continue;
    auto reply_id = message->find("id");
    // The parser keeps every non-negative integer as unsigned.
    if (reply_id == message->end() || !reply_id->is_number_unsigned() || reply_id->get<std::uint64_t>() != id) continue;
    if (auto error = message->find("error"); error != message->end()) {
      std::string text_message = "unknown";
      if (error->is_object()) {
        auto m = error->find("message");
        if (m != error->end() && m->is_string()) text_message = m->get<std::string>();
      }
      return fail(Error::cdp(std::string(method), std::move(text_message)));
    }
    auto result = message->find("result");
    if (result == message->end()) return json(nullptr);
    return std::move(*result);
  }
}

}  // namespace kestrelite
