// The browser: finding it, the port it prints, launching it and calling it (the scripted tests/fake_browser), the
// parsing of its messages, sessions of captures on it, and the page scripts at work in the real headless shell.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <thread>

#include "cdp.hpp"
#include "determinism.hpp"
#include "discovery.hpp"
#include "json_text.hpp"
#include "kestrelite/device.hpp"
#include "kestrelite/discovery.hpp"
#include "kestrelite/session.hpp"
#include "port_reader.hpp"

namespace kestrelite {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;
using testing::StartsWith;

// Each test has a fresh directory, removed with everything in it afterwards.
class TempDirTest : public testing::Test {
 protected:
  ~TempDirTest() override { fs::remove_all(tmp_, ignored_); }

  std::error_code ignored_;
  std::string pattern_ = (fs::temp_directory_path() / "kestrelite-test-XXXXXX").string();
  const fs::path tmp_ = ::mkdtemp(pattern_.data()) ? pattern_ : throw std::runtime_error("mkdtemp: " + pattern_);
};

// The lines of the file at `path`; none when it does not exist.
std::vector<std::string> read_lines(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// This process's children and counts of open descriptors and threads, which a test must leave as it found them.
std::string process_state() {
  std::string state = "children:";
  for (const auto& task : fs::directory_iterator("/proc/self/task"))
    for (const auto& line : read_lines(task.path() / "children")) state += " " + line;
  for (const char* dir : {"/proc/self/fd", "/proc/self/task"}) {
    fs::directory_iterator all(dir);
    state += ", " + std::to_string(std::distance(begin(all), end(all))) + " in " + dir;
  }
  return state;
}

// The fake browser's script and log are kept in the test's directory.
class FakeBrowserTest : public TempDirTest {
 protected:
  // A wrapper that starts the fake browser on `script`.
  fs::path fake(json script) {
    script["log"] = log_path().string();
    std::ofstream(tmp_ / "fake.json") << script.dump();
    std::ofstream(tmp_ / "fake") << "#!/bin/sh\nFAKE_BROWSER_SCRIPT='" << (tmp_ / "fake.json").string()
                                 << "' exec /usr/bin/python3 '" KESTRELITE_SOURCE_DIR
                                    "/tests/fake_browser/fake_browser.py' \"$@\"\n";
    fs::permissions(tmp_ / "fake", fs::perms::owner_all);
    return tmp_ / "fake";
  }
  fs::path log_path() const { return tmp_ / "log.jsonl"; }
};

const char* const kVariables[] = {"KESTRELITE_CHROME", "KESTRELITE_HOME", "HOME", "USERPROFILE", "PATH"};
const char* const kNoBrowser = "browser: no browser found. Set KESTRELITE_CHROME, or run `kestrelite install-browser`.";

// Each test sees only the variables it sets: the five above are cleared, and restored afterwards.
class DiscoveryTest : public TempDirTest {
 protected:
  void SetUp() override {
    for (const char* name : kVariables)
      if (const char* v = ::getenv(name)) saved_[name] = v;
    for (const char* name : kVariables) ::unsetenv(name);
  }
  void TearDown() override {
    for (const char* name : kVariables) ::unsetenv(name);
    for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
  }
  // `text` with every "{tmp}" replaced by the test's directory.
  std::string in_tree(const std::string& text) const {
    return std::regex_replace(text, std::regex("\\{tmp\\}"), tmp_.string());
  }
  void file(const std::string& relative) {
    fs::create_directories((tmp_ / relative).parent_path());
    std::ofstream(tmp_ / relative) << "#!/bin/sh\n";
  }

  std::map<std::string, std::string> saved_;
};

struct FindCase {
  const char* name;
  std::vector<std::string> files;
  std::map<std::string, std::string> env;
  std::string found;  // a path or the error, "{tmp}" standing for the tree
};
void PrintTo(const FindCase& c, std::ostream* out) { *out << c.name; }

const FindCase kCases[] = {
    {"explicit_path_trimmed", {"bin/my browser"}, {{"KESTRELITE_CHROME", " \n\t{tmp}/bin/my browser\xE2\x80\x83\n "}},
     "{tmp}/bin/my browser"},
    {"managed_root_before_path", {"home/browser/x/y/chrome-headless-shell", "bin/chromium"},
     {{"KESTRELITE_HOME", "{tmp}/home"}, {"PATH", "{tmp}/bin"}}, "{tmp}/home/browser/x/y/chrome-headless-shell"},
    {"home_holds_the_default_root", {"h/.kestrelite/browser/chrome-headless-shell"}, {{"HOME", "{tmp}/h"}},
     "{tmp}/h/.kestrelite/browser/chrome-headless-shell"},
    {"files_before_subdirectories", {"r/browser/a/chrome-headless-shell", "r/browser/chrome-headless-shell"},
     {{"KESTRELITE_HOME", "{tmp}/r"}}, "{tmp}/r/browser/chrome-headless-shell"},
    {"name_is_case_sensitive", {"r/browser/Chrome-Headless-Shell"}, {{"KESTRELITE_HOME", "{tmp}/r"}}, kNoBrowser},
    {"names_before_path_order", {"a/google-chrome", "b/chromium"},
     {{"KESTRELITE_HOME", "{tmp}/none"}, {"PATH", "{tmp}/a:{tmp}/b"}}, "{tmp}/b/chromium"},
    {"headless_shell_first", {"p/chromium", "p/chrome-headless-shell"}, {{"HOME", "{tmp}"}, {"PATH", "/none:{tmp}/p"}},
     "{tmp}/p/chrome-headless-shell"},
    {"nothing_found", {"empty/x"}, {{"KESTRELITE_HOME", "{tmp}/none"}, {"PATH", "{tmp}/empty"}}, kNoBrowser},
};

class FindBrowserTest : public DiscoveryTest, public testing::WithParamInterface<FindCase> {};

TEST_P(FindBrowserTest, FindsTheExpectedBrowser) {
  for (const std::string& f : GetParam().files) file(f);
  for (const auto& [name, value] : GetParam().env) ::setenv(name.c_str(), in_tree(value).c_str(), 1);
  auto found = find_browser();
  EXPECT_EQ(found ? found->string() : found.error().display(), in_tree(GetParam().found));
}

INSTANTIATE_TEST_SUITE_P(Sources, FindBrowserTest, testing::ValuesIn(kCases), testing::PrintToStringParamName());

TEST_F(DiscoveryTest, TheManagedRootFollowsTheEnvironmentAndItsLinkedDirectoriesAreSearchedOnce) {
  fs::create_directories(tmp_ / "r/a");
  fs::create_directory_symlink(tmp_ / "r", tmp_ / "r/a/loop");
  EXPECT_FALSE(find_in_tree(tmp_ / "r", "chrome-headless-shell"));
  file("elsewhere/chrome-headless-shell");
  fs::create_directory_symlink(tmp_ / "elsewhere", tmp_ / "r/linked");
  EXPECT_EQ(find_in_tree(tmp_ / "r", "chrome-headless-shell"), tmp_ / "r/linked/chrome-headless-shell");
  // The managed root itself follows the environment.
  EXPECT_EQ(managed_root(), fs::path("./.kestrelite/browser"));
  ::setenv("USERPROFILE", "C:/Users/u", 1);
  EXPECT_EQ(managed_root(), fs::path("C:/Users/u/.kestrelite/browser"));
  ::setenv("HOME", "", 1);
  EXPECT_EQ(managed_root(), fs::path(".kestrelite/browser"));
  ::setenv("HOME", "/Users/a", 1);
  ::setenv("KESTRELITE_HOME", "", 1);
  EXPECT_EQ(managed_root(), fs::path("/Users/a/.kestrelite/browser"));
  ::setenv("KESTRELITE_HOME", "/opt/k", 1);
  EXPECT_EQ(managed_root(), fs::path("/opt/k/browser"));
}

// What a reader hands over within `wait` from `chunks` written to its pipe, then closed unless `keep_open`.
std::optional<std::uint16_t> read_from(const std::vector<std::string>& chunks, bool keep_open,
                                       std::chrono::milliseconds wait = 5s) {
  auto pipe = make_pipe();
  auto reader = read_devtools_port(std::move(pipe->read));
  for (const std::string& chunk : chunks)
    if (::write(pipe->write.get(), chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) return 0;
  if (!keep_open) pipe->write.reset();
  return reader->receive(wait);
}

TEST(PortReaderTest, ThePortOfTheFirstUrlOnTheFirstLineThatHasOne) {
  const std::pair<const char*, std::optional<std::uint16_t>> lines[] = {
      {"DevTools listening on ws://127.0.0.1:9222/devtools/browser/abc", 9222},
      {"ws://[::1]:+65535/devtools", 65535},
      {"ws://a/ws://b:2/", std::nullopt},  // the first URL ends where the second starts
      {"ws://127.0.0.1:65536/", std::nullopt},
      {"http://127.0.0.1:9222/", std::nullopt},
  };
  for (const auto& [line, port] : lines) EXPECT_EQ(devtools_port_from_line(line), port) << line;
  // The reader reads lines until the first port or the end.
  EXPECT_EQ(read_from({"[1:2] Failed to connect\n\nDevTools listening on ws://127.0.0.1:4",
                       "1234/devtools/browser/x\r\nws://127.0.0.1:5555/\n"}, true), 41234);
  EXPECT_EQ(read_from({"ws://h:99999/\n", std::string(200000, 'x') + "ws://h:1/\n", "ws://h:2/\n"}, true), 2);
  EXPECT_EQ(read_from({"ws://h:7/"}, false), 7);
  EXPECT_EQ(read_from({"noise\n"}, false), std::nullopt);
  // Reading ends at a line that is not UTF-8.
  EXPECT_EQ(read_from({"bad \xff line\nws://h:7/\n"}, true), std::nullopt);
  EXPECT_EQ(read_from({"noise\n"}, true, 100ms), std::nullopt);
}

// Waits up to five seconds for the process group `pgid` to have no process left, zombies included.
bool group_gone(pid_t pgid) {
  for (int i = 0; i < 50; ++i, std::this_thread::sleep_for(100ms))
    if (::kill(-pgid, 0) != 0 && errno == ESRCH) return true;
  return false;
}

LaunchOptions launching(fs::path executable, std::chrono::milliseconds timeout = 3s) {
  return {.executable = std::move(executable), .extra_args = {}, .user_data_dir = {}, .timeout = timeout, .port = 0};
}

// The reply as compact JSON, or the error's display text.
std::string outcome(const Result<json>& r) { return r ? r->dump() : r.error().display(); }

TEST_F(FakeBrowserTest, FailedLaunchesGiveTheReasonAndLeaveNothingBehind) {
  const std::pair<json, std::string> cases[] = {
      {{{"startup", "no_port"}}, "browser: browser did not report a DevTools port"},
      {{{"startup", "exit"}}, "browser: browser did not report a DevTools port"},
      {{{"page_after_ms", 60000}}, "browser: could not attach: no page target yet"},
  };
  for (auto [script, error] : cases) {
    const std::string before = process_state();
    script["pid_file"] = (tmp_ / "pid").string();
    auto browser = Browser::launch(launching(fake(script)));
    EXPECT_EQ(browser ? "launched" : browser.error().display(), error);
    pid_t pid = 0;
    ASSERT_TRUE(std::ifstream(tmp_ / "pid") >> pid) << error;
    EXPECT_TRUE(group_gone(pid)) << script.dump();
    EXPECT_EQ(process_state(), before) << script.dump();
  }
  auto browser = Browser::launch(launching(tmp_ / "missing"));
  EXPECT_EQ(browser ? "launched" : browser.error().display(),
            "browser: could not spawn " + (tmp_ / "missing").string() + ": No such file or directory");
}

TEST_F(FakeBrowserTest, CallsSkipOtherMessagesAndMapReplies) {
  json noise = json::array({{{"method", "Some.event"}}, {{"id", 77}, {"result", {{"stray", 1}}}},
                            {{"id", -1}, {"error", {{"message", "x"}}}}, {{"id", 1.0}, {"result", json::object()}},
                            json::array({1, 2}), "null"});
  json replies = {{"Fail.me", {{"error", {{"code", 1}}}}},
                  {"Empty.reply", json::object()},
                  {"Echo.this", {{"result", {{"b", {1, 2}}, {"a", "x"}}}}}};
  // The page takes 400 ms to be listed, behind a service worker.
  auto browser = Browser::launch(launching(fake({{"replies", replies}, {"page_after_ms", 400},
                                                {"before_reply", {{"*", noise}, {"Not.json", {"{not json"}}}}})));
  ASSERT_TRUE(browser) << browser.error().display();
  EXPECT_EQ(outcome(browser->call("Fail.me", json::object())), "cdp Fail.me: unknown");
  EXPECT_EQ(outcome(browser->call("No.such", json{{"z", 1}, {"a", {{"y", true}, {"b", nullptr}}}})),
            "cdp No.such: 'No.such' wasn't found");
  EXPECT_EQ(outcome(browser->call("Empty.reply", json::object())), "null");
  EXPECT_EQ(outcome(browser->call("Echo.this", json::array())), R"({"a":"x","b":[1,2]})");
  EXPECT_EQ(read_lines(log_path()), (std::vector<std::string>{R"({"id":1,"method":"Fail.me","params":{}})",
                                              R"({"id":2,"method":"No.such","params":{"a":{"b":null,"y":true},"z":1}})",
                                              R"({"id":3,"method":"Empty.reply","params":{}})",
                                              R"({"id":4,"method":"Echo.this","params":[]})"}));
  EXPECT_THAT(outcome(browser->call("Not.json", json::object())), StartsWith("json: syntax error"));
}

// `n` characters of the base64 alphabet.
std::string base64_text(std::size_t n, unsigned seed) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::mt19937 random(seed);
  std::string s(n, 'A');
  for (char& c : s) c = kAlphabet[random() % 64];
  return s;
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

const std::string kLong = base64_text(70000, 1);
const std::string kOther = base64_text(5000, 2);

// Where long strings sit, long strings with escapes, non-ASCII bytes or keys, and faults inside and around them.
const std::pair<const char*, std::string> kMessages[] = {
    {"screenshot_reply", "{\"id\":12,\"result\":{\"data\":" + quoted(kLong) + "}}"},
    {"among_short_strings",
     "[\"\",\"x\"," + quoted(kLong) + ",\"\"," + quoted(kOther) + ",{\"k\":" + quoted(kLong) + "},\"y\"]"},
    {"escapes_inside", "{\"a\":\"" + kOther + "\\\"\\\\\\u00e9\\n" + kOther + "\",\"b\":" + quoted(kLong) + "}"},
    {"around_the_threshold", "[" + quoted(base64_text(4095, 3)) + "," + quoted(base64_text(4096, 4)) + "]"},
    {"invalid_utf8_inside", "[\"" + kOther + "\xff" + kOther + "\"]"},
};

// Values and faults are the general parser's, whether or not long strings are lifted out first.
TEST(DevtoolsMessageTest, ValuesAndFaultsMatchTheGeneralParserAndErrorTextsAreUtf8) {
  for (const auto& [name, text] : kMessages) {
    std::string expected;
    try {
      expected = json::parse(text).dump();
    } catch (const json::parse_error& e) {
      expected = Error::json_syntax(text, e.byte, json_parser_message(e.what())).display();
    }
    auto parsed = parse_devtools_message(text);
    EXPECT_EQ(parsed ? parsed->dump() : parsed.error().display(), expected) << name;
  }
  // Found by fuzzing: a syntax error quotes the bytes where reading stopped, which need not be UTF-8, yet its text must
  // be (it becomes a Python str); and a number beyond a double's range threw past the parser.
  for (std::string text : {"\xf0", "{\"version\":1,\"devices\":[\xff]}", "{\"note\":\"\xed\xa0\x80\"}"}) {
    for (auto shown : {parse_presets(text).error().display(), parse_devtools_message(text).error().display()}) {
      EXPECT_EQ(json_text::valid_utf8_prefix(shown), shown.size()) << shown;
      EXPECT_NE(shown.find("\xEF\xBF\xBD"), std::string::npos) << shown;
    }
  }
  auto overflow = parse_devtools_message("{\"id\":1,\"result\":-2E+400}");
  EXPECT_EQ(overflow ? "parsed" : overflow.error().display(), "json: number overflow parsing '-2E+400'");
}

class SessionTest : public FakeBrowserTest {
 protected:
  SessionOptions options(const json& script, std::size_t captures_per_browser = kCapturesPerBrowser) {
    return {fake(script), 2s, captures_per_browser};
  }

  // The capture's error text, or "exact".
  std::string capture(Session& session) {
    const Device phone{.id = "phone", .label = "Phone", .output_width = 1080, .output_height = 1920, .scale = 3,
                       .mobile = true, .source = "", .apple_display_type = "", .play_image_type = ""};
    DeviceResult out = session.capture("http://127.0.0.1:9/", phone, {}, tmp_ / "shot.png");
    if (out.error) return *out.error;
    return out.capture->exact && fs::file_size(*out.path) == out.capture->bytes ? "exact" : "off";
  }

  std::vector<json> log() const {
    std::vector<json> sent;
    for (const std::string& line : read_lines(log_path())) sent.push_back(json::parse(line));
    return sent;
  }
};

TEST_F(SessionTest, EachCaptureRunsInAContextOfItsOwnOnOneBrowser) {
  Session session(options(json::object()));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(capture(session), "exact");
  EXPECT_EQ(session.launches(), 1u);
  // A page in a context of its own for each capture, the next made while one runs (so a third waits in vain), each
  // context disposed after its capture; each page's connection carries its commands, Page.enable to the screenshot.
  std::vector<json> created, disposed, pages;
  for (json& m : log()) {
    if (m["method"] == "Target.createTarget") created.push_back(m["params"]["browserContextId"]);
    if (m["method"] == "Target.disposeBrowserContext") disposed.push_back(m["params"]["browserContextId"]);
    if (!m["method"].get<std::string>().starts_with("Target.")) pages.push_back(m);
  }
  ASSERT_EQ(created.size(), 3u);
  EXPECT_NE(created[0], created[1]);
  EXPECT_EQ(disposed, (std::vector<json>{created[0], created[1]}));
  ASSERT_EQ(pages.size() % 2, 0u);
  const std::size_t n = pages.size() / 2;
  for (std::size_t c = 0; c < 2; ++c) {
    EXPECT_EQ(pages[c * n]["method"], "Page.enable");
    EXPECT_EQ(pages[c * n + n - 1]["method"], "Page.captureScreenshot");
  }
}

struct FaultCase {
  const char* name;
  json script;           // followed by the first browser only: "#1" keys where it is kept
  std::string error;     // the first capture's error, up to its length
  std::size_t launches;  // after the second capture
};
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class SessionFaultTest : public SessionTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(SessionFaultTest, TheNextCaptureIsUnaffectedAndNothingLeaks) {
  const FaultCase& c = GetParam();
  const std::string before = process_state();
  json script = c.script;
  script["once"] = (tmp_ / "once").string();
  {
    Session session(options(script));
    EXPECT_EQ(capture(session).substr(0, c.error.size()), c.error);
    EXPECT_EQ(capture(session), "exact");
    EXPECT_EQ(session.launches(), c.launches);
  }
  EXPECT_EQ(process_state(), before);
}

json reply(const char* key, json members) { return {{"replies", {{key, std::move(members)}}}}; }
json fault(const char* key, const char* what) { return {{"faults", {{key, what}}}}; }

const FaultCase kFaults[] = {
    // A browser that does not start, a broken connection or a failed Target command ends the browser.
    {"cannot_start", {{"startup", "exit"}}, "browser: browser did not report a DevTools port", 2},
    {"exits", fault("Page.captureScreenshot", "exit"), "websocket protocol: connection closed by peer", 2},
    {"silent_page", fault("Runtime.evaluate", "silent"), "websocket protocol: ", 2},
    {"silent_browser_target", fault("Target.createTarget", "silent"), "websocket protocol: ", 2},
    {"garbage", fault("Emulation.setDeviceMetricsOverride", "garbage"), "websocket protocol: ", 2},
    {"not_json", {{"before_reply", {{"Page.enable", json::array({"{not json"})}}}}, "json: ", 2},
    {"context_refused", reply("Target.createBrowserContext", {{"error", {{"message", "no contexts"}}}}),
     "cdp Target.createBrowserContext: no contexts", 2},
    {"dispose_refused", reply("Target.disposeBrowserContext", {{"error", {{"message", "busy"}}}}), "exact", 2},
    // Failures of the page alone, and messages of other targets, keep it.
    {"navigation_error", reply("Page.navigate#1", {{"result", {{"errorText", "net::ERR_CONNECTION_REFUSED"}}}}),
     "browser: page did not load: net::ERR_CONNECTION_REFUSED", 1},
    {"screenshot_without_data", reply("Page.captureScreenshot#1", {{"result", json::object()}}),
     "unexpected response shape: captureScreenshot returned no data", 1},
    {"events_of_other_targets",
     {{"before_reply",
       {{"Target.createTarget", {{{"method", "Target.targetCreated"}, {"params", {{"targetId", "X"}}}}}},
        {"Page.captureScreenshot", {{{"method", "Page.loadEventFired"}, {"sessionId", "X"}},
                                    {{"id", 1}, {"sessionId", "X"}, {"result", json::object()}}}}}}},
     "exact", 1},
};

INSTANTIATE_TEST_SUITE_P(Faults, SessionFaultTest, testing::ValuesIn(kFaults), testing::PrintToStringParamName());

TEST_F(SessionTest, TheBrowserIsRestartedAfterTheBoundOfCaptures) {
  // {bound, captures, launches, disposals}: a browser's last capture ends it, not its context; 0 acts as 1.
  const std::size_t cases[][4] = {{2, 5, 3, 3}, {1, 2, 2, 0}, {0, 2, 2, 0}};
  for (const auto& [bound, captures, launches, disposed] : cases) {
    fs::remove(log_path());
    Session session(options(json::object(), bound));
    for (std::size_t i = 0; i < captures; ++i) EXPECT_EQ(capture(session), "exact");
    EXPECT_EQ(session.launches(), launches) << bound;
    std::size_t disposals = 0;
    for (const json& m : log()) disposals += m["method"] == "Target.disposeBrowserContext";
    EXPECT_EQ(disposals, disposed) << bound;
  }
}

constexpr const char* kHeadlessShell = "/usr/bin/chromium-headless-shell";
constexpr double kFrame = 1000.0 / 60;
constexpr std::int64_t kEpoch = 1750000000000;  // the default start of the page clock

json must(Result<json> r) {
  if (!r) throw std::runtime_error(r.error().display());
  return std::move(*r);
}

json evaluate(Browser& b, const std::string& expression) {
  json reply = must(b.call("Runtime.evaluate",
                           {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}}));
  if (reply.contains("exceptionDetails")) throw std::runtime_error(reply.dump());
  return reply["result"]["value"];
}

// Loads a fresh document and waits until it has loaded.
void fresh_document(Browser& b) {
  must(b.call("Page.navigate", {{"url", "data:text/html,<p>fresh</p>"}}));
  evaluate(b, "new Promise((r) => document.readyState === 'complete' ? r(1) : addEventListener('load', () => r(1)))");
}

// A browser whose every new document runs the determinism script, on a fresh document.
Browser start(const Determinism& d) {
  auto browser = Browser::launch(launching(kHeadlessShell));
  if (!browser) throw std::runtime_error(browser.error().display());
  must(browser->call("Page.enable", json::object()));
  must(browser->call("Page.addScriptToEvaluateOnNewDocument", {{"source", determinism_script(d)}}));
  fresh_document(*browser);
  return std::move(*browser);
}

// A promise of `value`'s result after `ms` on the real clock, which the page clock does not hold back.
std::string after_real_ms(int ms, const std::string& value) {
  return "new Promise((r) => window[Symbol.for('kestrelite.clock')].setTimeout(() => r(" + value + "), " +
         std::to_string(ms) + "))";
}

class PageScriptsTest : public testing::Test {
 protected:
  void SetUp() override {
    if (::access(kHeadlessShell, X_OK) != 0) GTEST_SKIP() << "needs " << kHeadlessShell;
  }
};

TEST_F(PageScriptsTest, SeededRandomAndTheVirtualClock) {
  Browser b = start(Determinism{});
  // Every document draws the same numbers again.
  const std::string draws = "[Math.random(), Math.random(), Array.from(crypto.getRandomValues(new Uint8Array(4)))]";
  const json first = evaluate(b, draws);
  EXPECT_NE(first[0], first[1]);
  fresh_document(b);
  EXPECT_EQ(evaluate(b, draws), first);
  EXPECT_EQ(evaluate(b, "[Date.now(), new Date().getTime(), new Date(0).getTime(), typeof Date(), Date.name, "
                        "new Date() instanceof Date, Date.UTC(2000, 0, 1)]"),
            (json{kEpoch, kEpoch, 0, "string", "Date", true, 946684800000}));
  EXPECT_EQ(evaluate(b, "new Promise((r) => setTimeout(() => r(Date.now()), 50))"), kEpoch + 50);
  // The callbacks of one frame share its time; asking for a frame does not move the clock.
  fresh_document(b);
  EXPECT_EQ(evaluate(b, "(() => { const before = performance.now();"
                        "  requestAnimationFrame(() => {}); requestAnimationFrame(() => {});"
                        "  return new Promise((r) => requestAnimationFrame((t) => r([before, t, performance.now()])));"
                        "})()"),
            (json{0, kFrame, kFrame}));
  EXPECT_EQ(evaluate(b, "(() => { requestAnimationFrame(() => {}); return performance.now(); })()"), kFrame);
}

TEST_F(PageScriptsTest, TimersAndFramesRunInVirtualTimeOrderUpToTheBudget) {
  Browser b = start(Determinism{.budget_ms = 1000});
  // The frame at 16.67 ms falls between the timers at 10 and 20 ms; the 400 ms interval meets the budget after 800.
  EXPECT_EQ(evaluate(b, "new Promise((r) => { const seen = [];"
                        "  const note = (what) => seen.push([what, performance.now(), Date.now() - 1750000000000]);"
                        "  setTimeout(() => note('b'), 20); setTimeout(note, 10, 'a'); setTimeout(() => note('c'), 20);"
                        "  requestAnimationFrame(() => note('frame'));"
                        "  setInterval(() => note('tick'), 400);"
                        "  setTimeout(() => r(seen), 1500); setTimeout(() => r(seen.concat([['stopped']])), 990); })"),
            (json{{"a", 10, 10}, {"frame", kFrame, 16}, {"b", 20, 20}, {"c", 20, 20}, {"tick", 400, 400},
                  {"tick", 800, 800}, {"stopped"}}));
}

TEST_F(PageScriptsTest, AReadinessPromiseHoldsTheClockUntilItSettles) {
  Browser b = start(Determinism{});
  evaluate(b, "window.kestreliteReady = new Promise((r) => { window.release = r; });"
              "setTimeout(() => { document.title = 'ran'; }, 10); 1");
  EXPECT_EQ(evaluate(b, after_real_ms(200, "[document.title, window[Symbol.for('kestrelite.clock')].busy()]")),
            (json{"", true}));
  EXPECT_EQ(evaluate(b, stability_script(StabilityOptions{.timeout_ms = 300})), "timeout");
  evaluate(b, "release(); 1");
  EXPECT_EQ(evaluate(b, after_real_ms(100, "document.title")), "");
}

TEST_F(PageScriptsTest, StabilityScriptSettlesAQuietPageAndGivesUpOnABusyOne) {
  Browser b = start(Determinism{});
  EXPECT_EQ(evaluate(b, stability_script(StabilityOptions{})), "quiet");
  EXPECT_EQ(evaluate(b, stability_script({.quiet_ticks = 0, .wait_fonts = false, .wait_images = false})), "quiet");
  // Messages are no timers: this loop changes the document without end.
  evaluate(b, "(() => { const c = new MessageChannel();"
              " c.port1.onmessage = () => { document.body.dataset.n = Math.random(); c.port2.postMessage(0); };"
              " c.port2.postMessage(0); return 1; })()");
  EXPECT_EQ(evaluate(b, stability_script(StabilityOptions{.timeout_ms = 300})), "timeout");
}

TEST_F(PageScriptsTest, EndlessLoopsStopAtTheBudgetsAndNothingRunsOnceSettled) {
  // Frames stop after the thirtieth, at 500 ms; the interval goes on to the 2 s budget.
  Browser b = start(Determinism{.budget_ms = 2000, .frame_budget = 30});
  evaluate(b, "(() => { const tick = (t) => { document.body.dataset.t = t; requestAnimationFrame(tick); };"
              " requestAnimationFrame(tick); setInterval(() => { document.title = String(performance.now()); }, 300);"
              " return 1; })()");
  EXPECT_EQ(evaluate(b, stability_script(StabilityOptions{})), "quiet");
  const json state = evaluate(b, "[Number(document.body.dataset.t), document.title, performance.now()]");
  EXPECT_NEAR(state[0].get<double>(), 30 * kFrame, 1e-9);
  EXPECT_EQ(json({state[1], state[2]}), json({"1800", 1800}));
  evaluate(b, "setTimeout(() => { document.title = 'late'; }, 0);"
              " requestAnimationFrame(() => { document.title = 'late'; }); 1");
  EXPECT_EQ(evaluate(b, after_real_ms(100, "document.title")), "1800");
}

}  // namespace
}  // namespace kestrelite
