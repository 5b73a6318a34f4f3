// Standard base64 (RFC 4648 alphabet with '+' and '/', '=' padding).
//
// encode always pads. decode is strict: the text must be a whole number of
// four-character groups, padding may only close the last group, the bits
// that padding leaves over must be zero, and no other byte (whitespace
// included) is allowed. Its error is a short description of the first fault
// with the offset at which it was found. Bytes are held in std::string.
// Both directions are table driven and allocate the output once;
// decode_in_place allocates nothing.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace kestrelite::base64 {

std::string encode(std::string_view bytes);

std::expected<std::string, std::string> decode(std::string_view text);

// decode, writing the bytes over the text itself: no second buffer for a
// screenshot's megabytes. On failure the text's contents are unspecified.
std::expected<void, std::string> decode_in_place(std::string& text);

}  // namespace kestrelite::base64
