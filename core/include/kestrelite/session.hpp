// Many captures through one browser, each in a browser context of its own.
//
// A Session starts its browser exactly as a run does (the same command
// line, process group, reaper and teardown) when it first captures, and
// opens a second connection, to the browser target, for the Target
// commands. Each capture then gets a fresh browser context that exists only
// for it: Target.createBrowserContext, Target.createTarget (about:blank in
// that context), a connection of its own to that page, the capture and the
// file write (the very commands, scripts and checks of a run's device, with
// the capture's own settings: locale, time zone and seed are emulated per
// page, so one browser serves every locale), the page's connection closed,
// and Target.disposeBrowserContext, which discards the page together with
// its cookies, storage, cache and service workers. The next capture's
// context and page are made on a thread of the session's while a capture
// runs (the browser starts the page's renderer meanwhile), unless the
// browser ends after this capture; that thread alone uses the browser's
// connection until the capture joins it. Replies are matched by id on each
// connection, and a page's connection carries only that page's events.
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
// bounded; with 1, every capture has a fresh browser of its own. A Session
// is used by one thread at a time; sessions share nothing, so several can
// run side by side.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "kestrelite/device.hpp"
#include "kestrelite/report.hpp"
#include "kestrelite/settings.hpp"

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
  // As a run's launch timeout: the wait for the port, the attach attempts,
  // and every wait for a reply.
  std::chrono::milliseconds timeout{30000};
  std::size_t captures_per_browser = kCapturesPerBrowser;  // 0 acts as 1
};

class Session {
 public:
  explicit Session(SessionOptions options);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  // Captures `url` on `device` in a fresh browser context and writes the
  // image to `path` (its folder is made when missing); the device's result.
  DeviceResult capture(const std::string& url, const Device& device, const CaptureSettings& settings,
                       const std::filesystem::path& path);

  // The same into folder/<name>.png; a name that is not a plain file name
  // fails the device before anything starts.
  DeviceResult capture_into(const std::string& url, const Device& device, const CaptureSettings& settings,
                            const std::filesystem::path& folder, std::string_view name);

  // Ends the browser now; the next capture starts a new one. False when
  // processes of its group were still there at the limit.
  bool end();

  // Browsers started so far.
  std::size_t launches() const { return launches_; }

 private:
  struct Live;

  SessionOptions options_;
  std::unique_ptr<Live> live_;
  std::size_t launches_ = 0;
};

}  // namespace kestrelite
