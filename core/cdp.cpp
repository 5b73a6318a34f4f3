#include "cdp.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

#include "http.hpp"

namespace kestrelite {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// String values at least this long are lifted out of a message before it is
// parsed and put back into the parsed value. The general parser handles a
// string one character at a time, through two growing buffers; for the
// megabytes of base64 in a screenshot reply that costs more than all the
// rest of a capture's own work.
constexpr std::size_t kLongString = 4096;

// True when every byte stands for itself inside a JSON string: printable
// ASCII or DEL but '\\' ('"' cannot occur inside). Eight bytes at a time: a
// byte below 0x20 sets its top bit in (w - 0x20...) & ~w, a backslash does
// the same in (x - 0x01...) & ~x for x = w ^ 0x5C..., and a byte from 0x80
// on has it set already.
bool plain_string_bytes(std::string_view s) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  std::uint64_t bad = 0;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    const std::uint64_t x = w ^ (0x5C * kOnes);
    bad |= ((w - 0x20 * kOnes) & ~w) | ((x - kOnes) & ~x) | w;
  }
  for (; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    bad |= c < 0x20 || c >= 0x80 || c == '\\' ? 0x80 : 0;
  }
  return (bad & 0x80 * kOnes) == 0;
}

// The position of the '"' that closes the string literal opening at
// `open`, or npos when it is not closed.
std::size_t closing_quote(std::string_view text, std::size_t open) {
  std::size_t from = open + 1;
  for (;;) {
    std::size_t quote = text.find('"', from);
    if (quote == std::string_view::npos) return quote;
    std::size_t escape = text.substr(from, quote - from).find('\\');
    if (escape == std::string_view::npos) return quote;
    from += escape + 2;  // the escaped character cannot close the literal
    if (from > text.size()) return std::string_view::npos;
  }
}

bool is_key(std::string_view text, std::size_t close) {
  std::size_t next = text.find_first_not_of(" \t\n\r", close + 1);
  return next != std::string_view::npos && text[next] == ':';
}

Result<json> parse_whole(std::string_view text) {
  try {
    return json::parse(text);
  } catch (const json::parse_error& e) {
    return fail(Error::json_syntax(text, e.byte, json_parser_message(e.what())));
  } catch (const json::out_of_range& e) {
    // A number beyond a double's range ("1e999"); this error has no position.
    return fail(Error::json(JsonError{"syntax", json_parser_message(e.what()), 0, 0}));
  }
}

}  // namespace

Result<json> parse_devtools_message(std::string text) {
  // The text with every long plain string value emptied, and where those
  // values are: their place among the message's string values, in text
  // order, and their span of the text.
  struct Lifted {
    std::size_t ordinal;
    std::size_t at;
    std::size_t size;
  };
  std::string rest;
  std::vector<Lifted> lifted;
  const std::string_view whole(text);
  std::size_t copied = 0;
  std::size_t string_values = 0;
  for (std::size_t open = whole.find('"'); open != std::string_view::npos;) {
    std::size_t close = closing_quote(whole, open);
    if (close == std::string_view::npos) break;
    if (!is_key(whole, close)) {
      std::string_view content = whole.substr(open + 1, close - open - 1);
      if (content.size() >= kLongString && plain_string_bytes(content)) {
        rest.append(whole, copied, open + 1 - copied);
        copied = close;
        lifted.push_back({string_values, open + 1, content.size()});
      }
      ++string_values;
    }
    open = whole.find('"', close + 1);
  }
  if (lifted.empty()) return parse_whole(text);
  rest.append(whole, copied);

  // The short text is valid exactly when the whole one is, and then its
  // values are the same but for the emptied strings. A fault is reported
  // from the whole text, so that its position and wording do not change.
  if (!json::accept(rest)) return parse_whole(text);
  std::vector<std::string> values;
  values.reserve(lifted.size());
  for (std::size_t i = 1; i < lifted.size(); ++i) values.push_back(text.substr(lifted[i].at, lifted[i].size));
  // The first value keeps the text's buffer: its bytes move to the front.
  text.erase(0, lifted[0].at);
  text.resize(lifted[0].size);
  values.insert(values.begin(), std::move(text));

  std::size_t seen = 0;
  std::size_t next = 0;
  auto put_back = [&](int, json::parse_event_t event, json& value) {
    if (event == json::parse_event_t::value && value.is_string()) {
      if (next < lifted.size() && lifted[next].ordinal == seen) value = std::move(values[next++]);
      ++seen;
    }
    return true;
  };
  return json::parse(rest, put_back, /*allow_exceptions=*/false);
}

namespace {

// One attach attempt: the page's WebSocket URL, or why there is none yet.
std::expected<std::string, std::string> page_url(std::uint16_t port) {
  auto body = http_get(port, "/json/list");
  if (!body) return std::unexpected(body.error().display());
  auto parsed = parse_devtools_message(std::move(*body));
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
      auto page = Connection::open(*url, options.timeout);
      if (!page) return fail(std::move(page.error()));
      LaunchTimings timings{port_known - started, Clock::now() - port_known};
      return Browser(std::move(*reader), std::move(*child), std::move(*page), timings, *port);
    }
    last_error = std::move(url.error());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

Browser::Browser(Browser&& other) noexcept
    : reader_(std::move(other.reader_)),
      child_(std::move(other.child_)),
      page_(std::move(other.page_)),
      timings_(other.timings_),
      port_(other.port_),
      live_(std::exchange(other.live_, false)) {}

Browser::~Browser() {
  if (live_) page_.close();
}

bool Browser::end() {
  if (live_) page_.close();
  live_ = false;
  return child_.end();
}

Result<Connection> Connection::open(std::string_view url, std::chrono::milliseconds timeout) {
  auto ws = Ws::connect(url, timeout);
  if (!ws) return fail(std::move(ws.error()));
  return Connection(std::move(*ws));
}

Result<std::string> browser_endpoint(std::uint16_t port, std::chrono::milliseconds timeout) {
  auto body = http_get(port, "/json/version", std::min<std::chrono::milliseconds>(timeout, std::chrono::seconds(5)));
  if (!body) return fail(std::move(body.error()));
  auto parsed = parse_devtools_message(std::move(*body));
  if (!parsed) return fail(std::move(parsed.error()));
  auto url = parsed->find("webSocketDebuggerUrl");  // end() for anything but an object
  if (url == parsed->end() || !url->is_string()) return fail(Error::shape("no browser endpoint in /json/version"));
  return url->get<std::string>();
}

std::string page_endpoint(std::uint16_t port, std::string_view target_id) {
  return "ws://127.0.0.1:" + std::to_string(port) + "/devtools/page/" + std::string(target_id);
}

Result<std::uint64_t> Connection::send(std::string_view method, json params) {
  const std::uint64_t id = ++next_id_;
  json request = json::object();
  request["id"] = id;
  request["method"] = method;
  request["params"] = std::move(params);
  if (auto sent = ws_.send_frame(ws::kText, request.dump()); !sent) {
    broken_ = true;
    return fail(std::move(sent.error()));
  }
  return id;
}

Result<void> Connection::post(std::string_view method, json params) {
  auto id = send(method, std::move(params));
  if (!id) return fail(std::move(id.error()));
  return {};
}

namespace {

// What a reply says for the command `method`: its "result" (null when it
// has none), or its "error" as Error::Cdp.
Result<json> outcome_of(std::string_view method, json& message) {
  if (auto error = message.find("error"); error != message.end()) {
    std::string text_message = "unknown";
    if (error->is_object()) {
      auto m = error->find("message");
      if (m != error->end() && m->is_string()) text_message = m->get<std::string>();
    }
    return fail(Error::cdp(std::string(method), std::move(text_message)));
  }
  auto result = message.find("result");
  if (result == message.end()) return json(nullptr);
  return std::move(*result);
}

}  // namespace

Result<Connection::Reply> Connection::next_reply() {
  auto broke = [this](Error error) {
    broken_ = true;
    return fail(std::move(error));
  };
  for (;;) {
    auto text = ws_.recv_text();
    if (!text) return broke(std::move(text.error()));
    auto message = parse_devtools_message(std::move(*text));
    if (!message) return broke(std::move(message.error()));
    if (!message->is_object()) continue;
    auto reply_id = message->find("id");
    if (reply_id == message->end()) {
      if (listener_ && message->contains("method")) listener_(*message);
      if (broken_) return fail(Error::protocol("the connection failed while handling an event"));
      continue;
    }
    // The parser keeps every non-negative integer as unsigned.
    if (!reply_id->is_number_unsigned()) continue;
    return Reply{reply_id->get<std::uint64_t>(), std::move(*message)};
  }
}

Result<json> Connection::call(std::string_view method, json params) {
  auto sent = send(method, std::move(params));
  if (!sent) return fail(std::move(sent.error()));
  // Replies to other ids (commands sent with post()) are dropped.
  for (;;) {
    auto reply = next_reply();
    if (!reply) return fail(std::move(reply.error()));
    if (reply->id == *sent) return outcome_of(method, reply->message);
  }
}

Result<std::vector<Result<json>>> Connection::call_all(std::vector<Request> requests) {
  const std::uint64_t first = next_id_ + 1;
  for (Request& request : requests)
    if (auto sent = send(request.method, std::move(request.params)); !sent) return fail(std::move(sent.error()));
  std::vector<std::optional<Result<json>>> outcomes(requests.size());
  for (std::size_t waiting = requests.size(); waiting > 0;) {
    auto reply = next_reply();
    if (!reply) return fail(std::move(reply.error()));
    // Replies come in any order: an answer may wait for the page.
    if (reply->id < first || reply->id - first >= requests.size() || outcomes[reply->id - first]) continue;
    outcomes[reply->id - first] = outcome_of(requests[reply->id - first].method, reply->message);
    --waiting;
  }
  std::vector<Result<json>> out;
  out.reserve(outcomes.size());
  for (auto& outcome : outcomes) out.push_back(std::move(*outcome));
  return out;
}

}  // namespace kestrelite
