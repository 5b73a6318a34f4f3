#include "png_codec.hpp"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace kestrelite {

namespace {

// libpng reports a failure by calling the error function, which must not
// return: it keeps libpng's text and jumps back to the setjmp of the
// running read_image or write_image. The text lives in a fixed buffer so
// that the failure path allocates nothing.
struct Session {
  std::string_view input;  // what a read consumes
  std::size_t at = 0;
  std::string output;  // what a write produces
  char message[160] = {};
  bool too_large = false;  // the header's pixel count is beyond the limit
};

void keep_message(Session* session, const char* text) {
  std::snprintf(session->message, sizeof session->message, "%s", text);
}

[[noreturn]] void on_error(png_structp png, png_const_charp text) {
  keep_message(static_cast<Session*>(png_get_error_ptr(png)), text);
  png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

void read_bytes(png_structp png, png_bytep out, std::size_t length) {
  auto* session = static_cast<Session*>(png_get_io_ptr(png));
  if (session->input.size() - session->at < length) png_error(png, "file is truncated");
  std::memcpy(out, session->input.data() + session->at, length);
  session->at += length;
}

void write_bytes(png_structp png, png_bytep data, std::size_t length) {
  auto* session = static_cast<Session*>(png_get_io_ptr(png));
  bool stored = true;
  try {
    session->output.append(reinterpret_cast<const char*>(data), length);
  } catch (const std::bad_alloc&) {
    stored = false;
  }
  if (!stored) png_error(png, "out of memory");
}

void flush_nothing(png_structp) {}

// Owns one libpng read or write state and its info record.
class PngState {
 public:
  PngState(bool reading, Session* session) : reading_(reading) {
    png_ = reading ? png_create_read_struct(PNG_LIBPNG_VER_STRING, session, on_error, on_warning)
                   : png_create_write_struct(PNG_LIBPNG_VER_STRING, session, on_error, on_warning);
    if (png_) info_ = png_create_info_struct(png_);
  }
  PngState(const PngState&) = delete;
  PngState& operator=(const PngState&) = delete;
  ~PngState() {
    if (reading_)
      png_destroy_read_struct(&png_, &info_, nullptr);
    else
      png_destroy_write_struct(&png_, &info_);
  }
  bool ok() const { return png_ && info_; }
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  bool reading_;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

// Everything libpng may jump out of happens in read_image and write_image.
// Neither keeps an object with a destructor in its own frame (a jump would
// skip it): the image, the row table and the session belong to the caller.
bool read_image(png_structp png, png_infop info, std::uint64_t max_pixels, Session& session, Image& image,
                std::vector<png_bytep>& rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_read_fn(png, &session, read_bytes);
  // The chunks' CRCs already guard every byte of the file; the zlib
  // checksum over the inflated rows would only cost time.
  png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
  png_read_info(png, info);
  png_uint_32 width = 0, height = 0;
  int depth = 0, colour = 0;
  png_get_IHDR(png, info, &width, &height, &depth, &colour, nullptr, nullptr, nullptr);
  if (std::uint64_t{width} * height > max_pixels) {
    image.width = width;
    image.height = height;
    session.too_large = true;
    return false;
  }
  if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS))
    png_set_tRNS_to_alpha(png);
  else if ((colour & PNG_COLOR_MASK_ALPHA) == 0)
    png_set_filler(png, 0xFFFF, PNG_FILLER_AFTER);
  if ((colour & PNG_COLOR_MASK_COLOR) == 0) png_set_gray_to_rgb(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);

  image.width = width;
  image.height = height;
  image.depth = depth == 16 ? 16 : 8;
  if (png_get_rowbytes(png, info) != image.row_bytes()) {
    keep_message(&session, "unexpected pixel layout after conversion to RGBA");
    return false;
  }
  // Not zeroed: the pages are touched only as rows decode, so a short file
  // that claims a large image costs no memory.
  image.pixels = std::make_unique_for_overwrite<std::uint8_t[]>(image.row_bytes() * height);
  rows.resize(height);
  for (png_uint_32 y = 0; y < height; ++y) rows[y] = image.pixels.get() + y * image.row_bytes();
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  return true;
}

bool write_image(png_structp png, png_infop info, std::uint32_t width, std::uint32_t height,
                 const png_color* palette, int palette_size, const std::uint8_t* indices, Session& session) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, &session, write_bytes, flush_nothing);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_PLTE(png, info, palette, palette_size);
  // Palette indices do not predict from their neighbours; long runs of one
  // index are what compresses, and Z_RLE finds them fastest.
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_set_compression_level(png, Z_BEST_SPEED);
  png_set_compression_strategy(png, Z_RLE);
  png_set_compression_buffer_size(png, 1 << 18);
  png_write_info(png, info);
  for (std::uint32_t y = 0; y < height; ++y) png_write_row(png, indices + std::size_t{y} * width);
  png_write_end(png, info);
  return true;
}

}  // namespace

Result<Image> png::decode(std::string_view bytes, std::uint64_t max_pixels) {
  if (bytes.size() < 8 || png_sig_cmp(reinterpret_cast<png_const_bytep>(bytes.data()), 0, 8) != 0)
    return fail(Error::shape("not a png (bad magic)"));
  // libpng would skip an unknown chunk before the header; png::dimensions,
  // which the size checks use, reads the header at its fixed place, and the
  // two must never disagree about an image's size.
  if (bytes.size() >= 16 && bytes.substr(12, 4) != "IHDR") return fail(Error::shape("first chunk is not IHDR"));
  Session session;
  session.input = bytes;
  PngState state(true, &session);
  if (!state.ok()) return fail(Error::shape("invalid png: cannot start the decoder"));
  Image image;
  std::vector<png_bytep> rows;
  bool done = false;
  try {
    done = read_image(state.png(), state.info(), max_pixels, session, image, rows);
  } catch (const std::bad_alloc&) {
    return fail(Error::shape("out of memory decoding a png"));
  }
  if (done) return image;
  if (session.too_large)
    return fail(Error::shape("png too large: " + std::to_string(image.width) + "x" + std::to_string(image.height) +
                             " pixels, more than " + std::to_string(max_pixels)));
  return fail(Error::shape(std::string("invalid png: ") + session.message));
}

Result<std::string> png::encode_indexed(std::uint32_t width, std::uint32_t height, std::span<const Rgb> palette,
                                        std::span<const std::uint8_t> indices) {
  if (palette.empty() || palette.size() > 256)
    return fail(Error::shape("cannot encode png: a palette has 1 to 256 colours"));
  if (indices.size() != std::size_t{width} * height)
    return fail(Error::shape("cannot encode png: " + std::to_string(indices.size()) + " indices for " +
                             std::to_string(width) + "x" + std::to_string(height) + " pixels"));
  if (!indices.empty() && *std::ranges::max_element(indices) >= palette.size())
    return fail(Error::shape("cannot encode png: an index beyond the palette"));
  png_color colours[256];
  for (std::size_t i = 0; i < palette.size(); ++i) colours[i] = {palette[i][0], palette[i][1], palette[i][2]};

  Session session;
  PngState state(false, &session);
  if (!state.ok()) return fail(Error::shape("cannot encode png: cannot start the encoder"));
  session.output.reserve(indices.size() / 8 + 1024);
  if (!write_image(state.png(), state.info(), width, height, colours, static_cast<int>(palette.size()), indices.data(),
                   session))
    return fail(Error::shape(std::string("cannot encode png: ") + session.message));
  return std::move(session.output);
}

}  // namespace kestrelite
