// Receiving a screenshot-sized reply: one 16 MiB text frame over loopback,
// through Ws::recv_text and, for comparison, through a plain recv loop of
// 64 KiB reads on the same socket setup. Also strict base64 decoding of a
// text of about 10 MB.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "base64.hpp"
#include "net.hpp"
#include "ws.hpp"

namespace kestrelite {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kMessageSize = 16 << 20;
constexpr auto kTimeout = 30s;

// An unmasked final text frame carrying kMessageSize bytes of base64 text.
const std::string& frame() {
  static const std::string bytes = [] {
    std::string payload(kMessageSize / 4 * 3, '\0');
    std::mt19937 random(1);
    for (char& c : payload) c = static_cast<char>(random());
    std::string text = base64::encode(payload);
    std::string f{'\x81', '\x7f'};
    for (int shift = 56; shift >= 0; shift -= 8)
      f += static_cast<char>(static_cast<std::uint64_t>(text.size()) >> shift);
    return f + text;
  }();
  return bytes;
}

// A loopback connection whose far end writes frame() over and over until
// the near end goes away. Whoever takes the client end must drop it before
// the Feed, which then joins the writer.
class Feed {
 public:
  Feed() {
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), size);
    ::listen(listener.get(), 1);
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);
    auto client = net::connect("127.0.0.1", ntohs(address.sin_port));
    if (!client) return;
    client_ = std::move(*client);
    UniqueFd server(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    writer_ = std::thread([server = std::move(server)] {
      while (net::send_all(server, frame())) {
      }
    });
  }
  Feed(const Feed&) = delete;
  Feed& operator=(const Feed&) = delete;
  ~Feed() {
    client_ = UniqueFd();  // when not taken: the writer's next send fails
    if (writer_.joinable()) writer_.join();
  }

  // The client end, with the socket options a Ws connection gets.
  UniqueFd take_client() {
    net::set_no_delay(client_).value();
    return std::move(client_);
  }

 private:
  UniqueFd client_;
  std::thread writer_;
};

void BM_WsRecvText(benchmark::State& state) {
  frame();
  Feed feed;
  auto ws = Ws::over(feed.take_client(), kTimeout);
  if (!ws) {
    state.SkipWithError(ws.error().display().c_str());
    return;
  }
  for (auto _ : state) {
    auto text = ws->recv_text();
    if (!text || text->size() != kMessageSize) {
      state.SkipWithError(text ? "short message" : text.error().display().c_str());
      break;
    }
    benchmark::DoNotOptimize(text->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame().size()));
}
BENCHMARK(BM_WsRecvText)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainRecvLoop(benchmark::State& state) {
  frame();
  Feed feed;
  UniqueFd socket = feed.take_client();
  net::set_timeouts(socket, 1s, kTimeout).value();
  std::string chunk(ws::kReadSize, '\0');
  for (auto _ : state) {
    std::size_t left = frame().size();
    while (left > 0) {
      auto got = net::recv_some(socket, chunk.data(), std::min(left, chunk.size()));
      if (!got || *got == 0) {
        state.SkipWithError("recv failed");
        return;
      }
      left -= *got;
    }
    benchmark::DoNotOptimize(chunk.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame().size()));
}
BENCHMARK(BM_PlainRecvLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Base64DecodeStrict(benchmark::State& state) {
  std::string bytes(7500000, '\0');
  std::mt19937 random(2);
  for (char& c : bytes) c = static_cast<char>(random());
  const std::string text = base64::encode(bytes);
  for (auto _ : state) {
    auto decoded = base64::decode(text);
    if (!decoded) {
      state.SkipWithError(decoded.error().c_str());
      break;
    }
    benchmark::DoNotOptimize(decoded->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Base64DecodeStrict)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrelite
