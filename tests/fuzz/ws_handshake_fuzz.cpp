// Handshake response heads: check_response_head against a reference that
// follows the documented steps on the raw bytes, with the accept value
// computed here by OpenSSL alone.
//
// Input: one mode byte, one key-length byte, the key, then the rest. In raw
// mode the rest is the whole head. Otherwise a head is built around the
// rest as extra header lines: a 101 status line and the right accept value
// (or a one-byte change of it) before or after them, its name in either
// case and its value padded or not, so that the accept comparison is
// reached.
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_check.hpp"
#include "json_text.hpp"
#include "ws.hpp"

using namespace kestrelite;
using fuzz::require;

namespace {

std::string reference_accept(std::string_view key) {
  const std::string input = std::string(key) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
  unsigned char text[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
  const int n = EVP_EncodeBlock(text, digest, SHA_DIGEST_LENGTH);
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n));
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool is_accept_name(std::string_view name) {
  static constexpr std::string_view kName = "sec-websocket-accept";
  if (name.size() != kName.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kName[i]) return false;
  }
  return true;
}

// The expected error message, or nothing when the head is accepted. The
// bytes are examined raw: replacing invalid UTF-8 never touches ASCII, and
// only ASCII decides the outcome.
std::optional<std::string> reference(std::string_view head, std::string_view key) {
  std::size_t end = head.find("\r\n");
  const std::string_view status = head.substr(0, end);
  if (status.find("101") == std::string_view::npos) return "upgrade refused: " + json_text::lossy_utf8(status);
  std::optional<std::string_view> received;
  while (end != std::string_view::npos && !received) {
    head.remove_prefix(end + 2);
    end = head.find("\r\n");
    const std::string_view line = head.substr(0, end);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && is_accept_name(trimmed(line.substr(0, colon))))
      received = trimmed(line.substr(colon + 1));
  }
  if (!received) return "no Sec-WebSocket-Accept header";
  const std::string want = reference_accept(key);
  if (*received != want) return "accept mismatch: got " + json_text::lossy_utf8(*received) + ", want " + want;
  return std::nullopt;
}

std::string built_head(std::uint8_t mode, std::string_view key, std::string_view extra) {
  std::string accept = reference_accept(key);
  if (mode & 0x40) accept[mode % accept.size()] ^= 1;
  std::string line = (mode & 0x04) ? "sec-websocket-ACCEPT" : "Sec-WebSocket-Accept";
  line += (mode & 0x08) ? " : \t" + accept + " " : ": " + accept;
  std::string head = "HTTP/1.1 101 Switching Protocols";
  if (mode & 0x10) head += "\r\n" + line;
  if (!extra.empty() || (mode & 0x20)) head += "\r\n" + std::string(extra);
  if (!(mode & 0x10)) head += "\r\n" + line;
  return head;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view in = fuzz::as_text(data, size);
  if (in.size() < 2) return 0;
  const auto mode = static_cast<std::uint8_t>(in[0]);
  const std::size_t key_size = std::min<std::size_t>(static_cast<std::uint8_t>(in[1]) % 32, in.size() - 2);
  const std::string_view key = in.substr(2, key_size);
  const std::string_view rest = in.substr(2 + key_size);
  const std::string head = (mode & 1) ? built_head(mode, key, rest) : std::string(rest);

  require(ws::accept_for(key) == reference_accept(key), "accept value", key);
  const auto got = ws::check_response_head(head, key);
  const auto want = reference(head, key);
  if (!want) {
    require(got.has_value(), "head refused", got ? "" : got.error().display());
    return 0;
  }
  require(!got.has_value(), "head accepted", *want);
  require(got.error().kind() == Error::Kind::Protocol, "error kind", got.error().display());
  require(got.error().message() == *want, "error message", got.error().message() + " | want " + *want);
  require(fuzz::valid_utf8(got.error().display()), "error text is not UTF-8", got.error().display());
  return 0;
}
