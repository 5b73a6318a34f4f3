// One headless browser and DevTools connections to its targets.
//
// A Connection is one WebSocket to one DevTools target (a page, or the
// browser itself) with its own message ids: call() sends one command and
// waits for the reply with the same id. Every message a connection receives
// passes through call(): events go to the listener, when one is set, and are
// dropped otherwise; replies to other ids (commands sent with post()) are
// dropped. Since each page has a connection of its own, events of other
// targets never reach it.
//
// Browser::launch starts the browser with a fixed command line, learns its
// DevTools port from its standard error, fetches the target list from the
// browser's HTTP endpoint until a page target appears, and opens a
// connection to that page. A Browser owns its process group, its
// port-reader thread and that connection: whatever path ends it, the
// browser and everything it started are killed, the group is waited for
// until it is empty (within a bound) and the thread is joined.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrelite/error.hpp"
#include "kestrelite/progress.hpp"
#include "port_reader.hpp"
#include "process.hpp"
#include "ws.hpp"

namespace kestrelite {

struct LaunchOptions {
  std::filesystem::path executable;
  std::vector<std::string> extra_args;
  std::optional<std::filesystem::path> user_data_dir;
  // Bounds the wait for the port, then the attach attempts, and is the
  // WebSocket's idle timeout for every reply.
  std::chrono::milliseconds timeout{30000};
  std::uint16_t port = 0;  // 0 lets the browser choose
};

// Parses one DevTools message; the error carries the parser's message and
// the line and column where it stopped. Long plain string values (a
// screenshot's base64) are not run through the character-by-character
// parser, and the first of them takes over the text's buffer instead of
// being copied.
Result<nlohmann::json> parse_devtools_message(std::string text);

// The browser's command line after the program name.
std::vector<std::string> browser_arguments(const LaunchOptions& options);

class Connection {
 public:
  // Opens a WebSocket to `url`; `timeout` bounds every wait for a reply.
  static Result<Connection> open(std::string_view url, std::chrono::milliseconds timeout);
  explicit Connection(Ws ws) : ws_(std::move(ws)) {}

  // Sends `method` with `params` and returns the reply's "result" (null when
  // it has none); an "error" reply is Error::Cdp.
  Result<nlohmann::json> call(std::string_view method, nlohmann::json params);

  // Sends every command at once, without waiting for a reply before the
  // next, then waits for all their replies: the outcomes in the commands'
  // order, each as call() gives it. The browser runs a target's commands in
  // the order sent. A transport fault fails the whole.
  struct Request {
    std::string_view method;
    nlohmann::json params;
  };
  Result<std::vector<Result<nlohmann::json>>> call_all(std::vector<Request> requests);

  // Sends `method` with `params` without waiting: its reply is dropped.
  Result<void> post(std::string_view method, nlohmann::json params);

  // Receives every event (a message with a "method" and no "id") that
  // arrives while call() waits, in order. The listener may post(); an empty
  // one drops events again.
  using Listener = std::function<void(const nlohmann::json& event)>;
  void listen(Listener listener) { listener_ = std::move(listener); }

  // True once sending or receiving failed or a message was not JSON: the
  // peer is gone, silent or out of step, and nothing it says is trusted.
  bool broken() const { return broken_; }

  // Sends a Close frame, ignoring the outcome.
  void close() { ws_.close(); }

 private:
  Result<std::uint64_t> send(std::string_view method, nlohmann::json params);
  // Receives messages until one is a reply, which it returns; events go to
  // the listener on the way.
  struct Reply {
    std::uint64_t id;
    nlohmann::json message;
  };
  Result<Reply> next_reply();

  Ws ws_;
  std::uint64_t next_id_ = 0;
  bool broken_ = false;
  Listener listener_;
};

// The WebSocket URL of the browser target, from the endpoint's /json/version.
Result<std::string> browser_endpoint(std::uint16_t port, std::chrono::milliseconds timeout);

// The WebSocket URL of a target the browser created (Target.createTarget).
std::string page_endpoint(std::uint16_t port, std::string_view target_id);

class Browser {
 public:
  static Result<Browser> launch(const LaunchOptions& options);

  Browser(Browser&& other) noexcept;
  Browser& operator=(Browser&&) = delete;
  Browser(const Browser&) = delete;
  ~Browser();

  // The connection to the browser's first page.
  Connection& page() { return page_; }
  // A command to the first page (Connection::call).
  Result<nlohmann::json> call(std::string_view method, nlohmann::json params) {
    return page_.call(method, std::move(params));
  }

  // Ends the browser now instead of at destruction: closes the connection,
  // then ends the process group (ChildProcess::end). False when processes
  // of the group were still there at the limit; later calls do nothing.
  bool end();

  const LaunchTimings& timings() const { return timings_; }
  // The browser's process id, which is also its process group id.
  pid_t pid() const { return child_.pid(); }
  // The DevTools port, for further connections to the browser's targets.
  std::uint16_t port() const { return port_; }

 private:
  Browser(PortReader reader, ChildProcess child, Connection page, LaunchTimings timings, std::uint16_t port)
      : reader_(std::move(reader)), child_(std::move(child)), page_(std::move(page)), timings_(timings), port_(port) {}

  // Declared so that destruction runs page_, then child_ (kill and reap),
  // then reader_ (stop and join).
  PortReader reader_;
  ChildProcess child_;
  Connection page_;
  LaunchTimings timings_;
  std::uint16_t port_ = 0;
  bool live_ = true;  // false once moved from or ended: nothing left to close
};

}  // namespace kestrelite
