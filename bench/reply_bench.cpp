// The screenshot reply path after the WebSocket: a DevTools reply of about
// 10 MB of base64 parsed, its "data" found, strictly decoded and digested,
// as Browser::call and capture() do it; each step alone; and reading the
// preset table, which every capture_json call does once.
#include <benchmark/benchmark.h>

#include <map>
#include <random>
#include <string>

#include "base64.hpp"
#include "cdp.hpp"
#include "kestrelite/device.hpp"
#include "json_text.hpp"
#include "png.hpp"
#include "preset_reader.hpp"

namespace kestrelite {
namespace {

// A reply carrying `megabytes` million characters of base64 (of random
// bytes, which a PNG's compressed data resembles).
const std::string& reply(std::int64_t megabytes) {
  static std::map<std::int64_t, std::string> replies;
  std::string& text = replies[megabytes];
  if (text.empty()) {
    std::string image(static_cast<std::size_t>(megabytes) * 750000, '\0');
    std::mt19937 random(3);
    for (char& c : image) c = static_cast<char>(random());
    text = "{\"id\":12,\"result\":{\"data\":\"" + base64::encode(image) + "\"}}";
  }
  return text;
}

// The data of the 10 MB reply, the bytes a 7.5 MB screenshot would have.
const std::string& image() {
  static const std::string bytes = [] {
    std::string b(7500000, '\0');
    std::mt19937 random(4);
    for (char& c : b) c = static_cast<char>(random());
    return b;
  }();
  return bytes;
}

// Parses a fresh copy of the reply: the received message is the parser's to
// keep, as in Browser::call, and the copy is made outside the timed part.
Result<nlohmann::json> parse_fresh_reply(benchmark::State& state) {
  state.PauseTiming();
  std::string received = reply(state.range(0));
  state.ResumeTiming();
  return parse_devtools_message(std::move(received));
}

void BM_ScreenshotReply(benchmark::State& state) {
  for (auto _ : state) {
    auto message = parse_fresh_reply(state);
    if (!message) {
      state.SkipWithError(message.error().display().c_str());
      break;
    }
    nlohmann::json result = std::move((*message)["result"]);
    auto data = result.find("data");
    if (data == result.end() || !data->is_string()) {
      state.SkipWithError("no data");
      break;
    }
    std::string png = std::move(data->get_ref<std::string&>());
    result = nullptr;
    if (auto decoded = base64::decode_in_place(png); !decoded) {
      state.SkipWithError(decoded.error().c_str());
      break;
    }
    std::string digest = sha256_hex(png);
    benchmark::DoNotOptimize(digest.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * 1000000);
}
// 10 MB is the photo-heavy 3840x2160 case; the others show how the cost
// grows with the size.
BENCHMARK(BM_ScreenshotReply)->Arg(1)->Arg(3)->Arg(10)->Arg(30)->Unit(benchmark::kMillisecond);

void BM_ParseReply(benchmark::State& state) {
  for (auto _ : state) {
    auto message = parse_fresh_reply(state);
    if (!message) {
      state.SkipWithError(message.error().display().c_str());
      break;
    }
    benchmark::DoNotOptimize(message->is_object());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply(state.range(0)).size()));
}
BENCHMARK(BM_ParseReply)->Arg(10)->Unit(benchmark::kMillisecond);

// The UTF-8 check every received message passes before it is parsed.
void BM_ReplyUtf8Check(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(json_text::valid_utf8_prefix(reply(state.range(0))));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply(state.range(0)).size()));
}
BENCHMARK(BM_ReplyUtf8Check)->Arg(10)->Unit(benchmark::kMillisecond);

void BM_Sha256(benchmark::State& state) {
  for (auto _ : state) {
    std::string digest = sha256_hex(image());
    benchmark::DoNotOptimize(digest.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image().size()));
}
BENCHMARK(BM_Sha256)->Unit(benchmark::kMillisecond);

void BM_BuiltinPresets(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<Device> devices = builtin();
    benchmark::DoNotOptimize(devices.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * builtin_text().size()));
}
BENCHMARK(BM_BuiltinPresets)->Unit(benchmark::kMicrosecond);

// A preset file of the size a user might write: the built-in table's text.
void BM_ParsePresets(benchmark::State& state) {
  const std::string text(builtin_text());
  for (auto _ : state) {
    auto devices = parse_presets(text);
    if (!devices) {
      state.SkipWithError(devices.error().display().c_str());
      break;
    }
    benchmark::DoNotOptimize(devices->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParsePresets)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestrelite
