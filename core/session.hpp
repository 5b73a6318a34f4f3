// Many captures through one browser, each in a browser context of its own.
//
// A Session starts its browser exactly as a run does (Browser::launch: the
// same command line, process group, reaper and teardown) when it first
// captures, and opens a second connection, to the browser target, for the
// Target commands. Each capture then gets a fresh browser context that
// exists only for it: Target.createBrowserContext, Target.createTarget
// (about:blank in that context), a connection of its own to that page,
// capture_and_write() there (the very commands, scripts, checks and file
// write of a run's device), the page's connection closed, and
// Target.disposeBrowserContext, which discards the page together with its
// cookies, storage, cache and service workers. Replies are matched by id on
// each connection, and a page's connection carries only that page's events.
//
// Faults stay with the capture they happen in. When a connection breaks
// (the browser died, stayed silent for the timeout, or sent something that
// is not DevTools) or a Target command fails, the capture fails with that
// error, or keeps its image when only the clean-up failed, and the browser
// is ended at once (its whole process group, as a run ends it); the next
// capture starts a new one. A capture that fails on its own account (a page
// that did not load, an error reply, an image that cannot be written) only
// loses its context. After `captures_per_browser` captures the browser is
// ended as well, so that whatever it accumulates across contexts stays
// bounded. A Session is used by one thread at a time; sessions share
// nothing, so several can run side by side.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "capture.hpp"
#include "cdp.hpp"
#include "error.hpp"
#include "progress.hpp"
#include "run.hpp"

namespace kestrelite {

// Captures one browser serves before a session restarts it. Disposed
// contexts leave little behind (over 500 captures of the demo page the
// browser's main process grew from 15 to 20 MiB of private memory, its
// whole group stayed between 120 and 170 MiB), so the bound guards against
// what a browser gathers slowly; a restart costs about one capture's
// start-up, under 1% of a hundred captures.
inline constexpr std::size_t kCapturesPerBrowser = 100;

struct SessionOptions {
  std::filesystem::path executable;
  // As LaunchOptions::timeout: the wait for the port, the attach attempts,
  // and every wait for a reply.
  std::chrono::milliseconds timeout{30000};
  std::size_t captures_per_browser = kCapturesPerBrowser;  // 0 acts as 1
};

class Session {
 public:
  explicit Session(SessionOptions options) : options_(std::move(options)) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() { end(); }

  // Captures `request` in a fresh browser context and writes the image to
  // `path`. `timings` receives where the time went; `teardown` a note when
  // processes of a browser this capture ended outlived the wait for them.
  Result<WrittenCapture> capture(const CaptureRequest& request, std::filesystem::path path, DeviceTimings& timings,
                                 std::optional<std::string>& teardown);

  // Ends the browser now; the next capture starts a new one. False when
  // processes of its group were still there at the limit.
  bool end();

  // Browsers started so far.
  std::size_t launches() const { return launches_; }

 private:
  struct Live {
    Browser browser;
    Connection control;  // to the browser target
    std::size_t captures = 0;
  };
  struct Context {
    std::string id;
    std::optional<Connection> page;
  };

  Result<void> start(DeviceTimings& timings);
  // Makes the context and its page; on failure the context may exist.
  Result<void> open_context(Context& context);
  // Ends the browser within a capture, noting leftover processes.
  void end_within(DeviceTimings& timings, std::optional<std::string>& teardown);

  SessionOptions options_;
  std::optional<Live> live_;
  std::size_t launches_ = 0;
};

}  // namespace kestrelite
