#include "kestrelite/error.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "json_text.hpp"

namespace kestrelite {

namespace {

// Debug form of a text: quoted, with quotes, backslashes and control
// characters escaped, so that the debug line stays on one line.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string json_display(const JsonError& e) {
  if (e.line == 0) return e.text;
  return e.text + " at line " + std::to_string(e.line) + " column " + std::to_string(e.column);
}

}  // namespace

std::string json_parser_message(std::string_view what) {
  std::size_t column = what.find("column ");
  std::size_t colon = column == std::string_view::npos ? std::string_view::npos : what.find(": ", column);
  std::size_t kind = what.starts_with("[json.exception.") ? what.find("] ") : std::string_view::npos;
  if (colon != std::string_view::npos)
    what.remove_prefix(colon + 2);
  else if (kind != std::string_view::npos)
    what.remove_prefix(kind + 2);
  // The parser quotes the bytes it stopped at, which need not be UTF-8.
  return json_text::lossy_utf8(what);
}

TextPosition position_of(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::string_view before = text.substr(0, offset);
  std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  std::size_t last_newline = before.rfind('\n');
  std::size_t column = last_newline == std::string_view::npos ? offset : offset - last_newline - 1;
  return {line, column};
}

Error Error::io(std::error_code code) {
  Error e(Kind::Io, code.message());
  e.io_code_ = code;
  return e;
}

Error Error::io_errno(int errno_value) { return io(std::error_code(errno_value, std::generic_category())); }

Error Error::io_message(std::string text) { return Error(Kind::Io, std::move(text)); }

Error Error::protocol(std::string message) { return Error(Kind::Protocol, std::move(message)); }

Error Error::cdp(std::string method, std::string message) {
  Error e(Kind::Cdp, std::move(message));
  e.method_ = std::move(method);
  return e;
}

Error Error::browser(std::string message) { return Error(Kind::Browser, std::move(message)); }

Error Error::shape(std::string message) { return Error(Kind::Shape, std::move(message)); }

Error Error::json(JsonError error) {
  Error e(Kind::Json, error.text);
  e.json_ = std::move(error);
  return e;
}

Error Error::json_syntax(std::string_view text, std::size_t byte, std::string message) {
  TextPosition at = position_of(text, byte);
  return json(JsonError{"syntax", std::move(message), at.line, at.column});
}

std::string Error::display() const {
  switch (kind_) {
    case Kind::Io: return "io: " + message_;
    case Kind::Protocol: return "websocket protocol: " + message_;
    case Kind::Cdp: return "cdp " + method_ + ": " + message_;
    case Kind::Browser: return "browser: " + message_;
    case Kind::Shape: return "unexpected response shape: " + message_;
    case Kind::Json: return "json: " + json_display(json_);
  }
  return message_;
}

std::string Error::debug() const {
  switch (kind_) {
    case Kind::Io: {
      std::string code = io_code_ ? "Some(" + std::to_string(io_code_.value()) + ")" : "None";
      return "Io(IoError { code: " + code + ", text: " + quoted(message_) + " })";
    }
    case Kind::Protocol: return "Protocol(" + quoted(message_) + ")";
    case Kind::Cdp: return "Cdp { method: " + quoted(method_) + ", message: " + quoted(message_) + " }";
    case Kind::Browser: return "Browser(" + quoted(message_) + ")";
    case Kind::Shape: return "Shape(" + quoted(message_) + ")";
    case Kind::Json:
      return "Json(JsonError { category: " + quoted(json_.category) + ", line: " + std::to_string(json_.line) +
             ", column: " + std::to_string(json_.column) + ", text: " + quoted(json_.text) + " })";
  }
  return {};
}

}  // namespace kestrelite
