// The single error type of kestrelite_core.
//
// Every fallible operation returns Result<T>: either its value or an Error.
// An Error is one of six kinds; its display text ("io: ...", "websocket
// protocol: ...", "cdp <method>: ...", "browser: ...", "unexpected response
// shape: ...", "json: ...") is the only form in which a failure leaves the
// core. Errors are moved up the call chain, never copied.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <system_error>

namespace kestrelite {

// An operating-system I/O failure. `code` is empty when the failure has no
// OS error number (a name that resolves to no address, for example).
struct IoError {
  std::error_code code;
  std::string text;
};

// A JSON failure: what went wrong and where reading stopped (1-based).
// Line and column are 0 when the failure has no position.
struct JsonError {
  std::string category;  // "syntax" or "data"
  std::string text;
  std::size_t line = 0;
  std::size_t column = 0;
};

class Error {
 public:
  enum class Kind { Io, Protocol, Cdp, Browser, Shape, Json };

  static Error io(std::error_code code);
  static Error io_errno(int errno_value);
  static Error io_message(std::string text);
  static Error protocol(std::string message);
  static Error cdp(std::string method, std::string message);
  static Error browser(std::string message);
  static Error shape(std::string message);
  static Error json(JsonError error);
  // A JSON text that did not parse; `byte` is the offset at which reading stopped.
  static Error json_syntax(std::string_view text, std::size_t byte, std::string message);

  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;

  Kind kind() const { return kind_; }
  // The message of Protocol, Browser, Shape and Cdp; the text of Io and Json.
  const std::string& message() const { return message_; }
  // The DevTools method of a Cdp error; empty otherwise.
  const std::string& method() const { return method_; }
  const std::error_code& io_code() const { return io_code_; }
  const JsonError& json_error() const { return json_; }

  std::string display() const;
  std::string debug() const;

 private:
  Error(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
  std::string method_;
  std::error_code io_code_;
  JsonError json_;
};

template <class T>
using Result = std::expected<T, Error>;

// Shorthand for returning an error from a function that returns Result<T>.
inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }

// The JSON parser's own wording of an error: nlohmann's text without its
// "[json.exception...] parse error at line L, column C: " prefix (or just
// "[json.exception...] " when it names no position), so that every JSON
// error gives its position in the same form, and with the invalid UTF-8 of
// the bytes it quotes replaced, so that it is text.
std::string json_parser_message(std::string_view what);

// 1-based line and column of the byte just before `offset` in `text`.
struct TextPosition {
  std::size_t line;
  std::size_t column;
};
TextPosition position_of(std::string_view text, std::size_t offset);

}  // namespace kestrelite
