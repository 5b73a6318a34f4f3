#include "png_diff.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <thread>

#include "json_text.hpp"

namespace kestrelite {

namespace {

// Palette of the difference image: kGreys faded greys (index 0 is white),
// the same greys tinted yellow, then the mark.
constexpr std::uint8_t kGreys = 64;
constexpr std::uint8_t kTinted = kGreys;
constexpr std::uint8_t kMarkIndex = 2 * kGreys;

constexpr std::array<Rgb, 2 * kGreys + 1> make_palette() {
  std::array<Rgb, 2 * kGreys + 1> palette{};
  for (unsigned i = 0; i < kGreys; ++i) {
    // Half the contrast of the picture: dark text becomes mid grey.
    const auto grey = static_cast<std::uint8_t>(255 - 2 * i);
    palette[i] = {grey, grey, grey};
    palette[kTinted + i] = {grey, static_cast<std::uint8_t>(grey * 218 / 255),
                            static_cast<std::uint8_t>(grey * 40 / 255)};
  }
  palette[kMarkIndex] = kMark;
  return palette;
}

constexpr auto kPalette = make_palette();

template <unsigned Depth>
std::uint64_t raw(const std::uint8_t* p) {
  if constexpr (Depth == 8) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  } else {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  }
}

// An 8-bit pixel in the byte layout of the 16-bit pixel of equal value (v * 257).
std::uint64_t widened(const std::uint8_t* p) {
  const std::uint8_t wide[8] = {p[0], p[0], p[1], p[1], p[2], p[2], p[3], p[3]};
  std::uint64_t v;
  std::memcpy(&v, wide, 8);
  return v;
}

template <unsigned BaseDepth, unsigned NewDepth>
bool same_pixel(const std::uint8_t* base, const std::uint8_t* now) {
  if constexpr (BaseDepth == NewDepth)
    return raw<BaseDepth>(base) == raw<NewDepth>(now);
  else if constexpr (BaseDepth == 8)
    return widened(base) == raw<16>(now);
  else
    return raw<16>(base) == widened(now);
}

// The faded grey of a pixel: its luminance over white, in kGreys steps.
// Every step fits 16 bits and nothing branches, so that rows vectorize.
template <unsigned Depth>
std::uint8_t faded(const std::uint8_t* p) {
  constexpr unsigned step = Depth / 8;  // the high byte of each sample
  const auto luma = static_cast<std::uint16_t>((77 * p[0] + 150 * p[step] + 29 * p[2 * step] + 128) >> 8);
  // (255 - luma) * alpha / 255, then one step per 4 levels.
  return static_cast<std::uint8_t>(static_cast<std::uint16_t>((255 - luma) * p[3 * step] + 255) >> 10);
}

template <unsigned Depth>
void fade_row(const std::uint8_t* __restrict pixels, std::uint32_t width, std::uint8_t* __restrict out) {
  for (std::size_t x = 0; x < width; ++x) out[x] = faded<Depth>(pixels + x * (Depth / 2));
}

template <unsigned BaseDepth, unsigned NewDepth>
Difference scan(const Image& base, const Image& now, std::uint8_t* indices) {
  Difference d;
  std::uint32_t left = now.width, right = 0, top = now.height, bottom = 0;
  for (std::uint32_t y = 0; y < now.height; ++y) {
    const std::uint8_t* b = base.pixels.get() + y * base.row_bytes();
    const std::uint8_t* n = now.pixels.get() + y * now.row_bytes();
    std::uint8_t* out = indices + std::size_t{y} * now.width;
    fade_row<NewDepth>(n, now.width, out);
    // Most rows of two screenshots are equal: one comparison clears them.
    if (BaseDepth == NewDepth && std::memcmp(b, n, now.row_bytes()) == 0) continue;
    std::uint64_t row_count = 0;
    std::uint32_t first = now.width, last = 0;
    for (std::uint32_t x = 0; x < now.width; ++x, b += BaseDepth / 2, n += NewDepth / 2) {
      if (same_pixel<BaseDepth, NewDepth>(b, n)) continue;
      out[x] = kMarkIndex;
      if (row_count++ == 0) first = x;
      last = x;
    }
    if (row_count > 0) {
      d.differing += row_count;
      left = std::min(left, first);
      right = std::max(right, last);
      if (top == now.height) top = y;
      bottom = y;
    }
  }
  if (d.differing > 0) d.box = {left, top, right - left + 1, bottom - top + 1};
  return d;
}

// Tints every unmarked pixel within `radius` (Chebyshev) of a marked one:
// a sliding window along each row, then a running count of those rows down
// each column. Only the box grown by the radius is visited.
void tint_around(std::uint8_t* indices, std::uint32_t width, std::uint32_t height, const PixelBox& box,
                 std::uint32_t radius) {
  const std::uint32_t x0 = box.x > radius ? box.x - radius : 0;
  const std::uint32_t x1 = std::min<std::uint64_t>(std::uint64_t{box.x} + box.width + radius, width);
  const std::uint32_t y0 = box.y > radius ? box.y - radius : 0;
  const std::uint32_t y1 = std::min<std::uint64_t>(std::uint64_t{box.y} + box.height + radius, height);
  const std::uint32_t span = x1 - x0;

  // near[r][x]: row box.y + r has a mark within `radius` of column x0 + x.
  std::vector<std::uint8_t> near(std::size_t{box.height} * span);
  std::vector<std::uint32_t> prefix(span + 1);
  for (std::uint32_t r = 0; r < box.height; ++r) {
    const std::uint8_t* row = indices + std::size_t{box.y + r} * width + x0;
    for (std::uint32_t x = 0; x < span; ++x) prefix[x + 1] = prefix[x] + (row[x] == kMarkIndex);
    std::uint8_t* out = near.data() + std::size_t{r} * span;
    for (std::uint32_t x = 0; x < span; ++x) {
      const std::uint32_t from = x > radius ? x - radius : 0;
      const std::uint32_t to = std::min(x + radius + 1, span);
      out[x] = prefix[to] > prefix[from];
    }
  }

  std::vector<std::uint32_t> window(span);
  auto add_row = [&](std::int64_t r, int sign) {
    if (r < 0 || r >= box.height) return;
    const std::uint8_t* row = near.data() + static_cast<std::size_t>(r) * span;
    for (std::uint32_t x = 0; x < span; ++x) window[x] += sign * row[x];
  };
  for (std::int64_t r = std::int64_t{y0} - box.y - radius; r < std::int64_t{y0} - box.y + radius; ++r) add_row(r, 1);
  for (std::uint32_t y = y0; y < y1; ++y) {
    const std::int64_t r = std::int64_t{y} - box.y;
    add_row(r + radius, 1);
    std::uint8_t* row = indices + std::size_t{y} * width + x0;
    for (std::uint32_t x = 0; x < span; ++x)
      if (window[x] > 0 && row[x] < kGreys) row[x] += kTinted;
    add_row(r - radius, -1);
  }
}

}  // namespace

std::span<const Rgb> difference_palette() { return kPalette; }

std::uint32_t halo_radius(ImageSize size) {
  return std::max<std::uint32_t>(6, static_cast<std::uint32_t>((std::uint64_t{size.width} + size.height) / 80));
}

Difference compare_images(const Image& base, const Image& now, std::vector<std::uint8_t>& indices) {
  indices.resize(std::size_t{now.width} * now.height);
  Difference d;
  if (base.depth == 8 && now.depth == 8)
    d = scan<8, 8>(base, now, indices.data());
  else if (base.depth == 8)
    d = scan<8, 16>(base, now, indices.data());
  else if (now.depth == 8)
    d = scan<16, 8>(base, now, indices.data());
  else
    d = scan<16, 16>(base, now, indices.data());
  d.base = d.now = {now.width, now.height};
  if (d.differing > 0) tint_around(indices.data(), now.width, now.height, d.box, halo_radius(d.now));
  return d;
}

std::expected<Difference, CompareError> compare_png(std::string_view base, std::string_view now) {
  // Decoding is most of the work: the two images decode side by side.
  std::optional<Result<Image>> base_image;
  bool base_threw = false;
  std::optional<Result<Image>> new_image;
  {
    std::jthread worker([&] {
      try {
        base_image.emplace(png::decode(base));
      } catch (...) {
        base_threw = true;
      }
    });
    new_image.emplace(png::decode(now));
  }
  if (base_threw) return std::unexpected(CompareError{Side::Base, Error::shape("out of memory decoding a png")});
  if (!*base_image) return std::unexpected(CompareError{Side::Base, std::move(base_image->error())});
  if (!*new_image) return std::unexpected(CompareError{Side::New, std::move(new_image->error())});
  const Image& b = **base_image;
  const Image& n = **new_image;
  if (b.width != n.width || b.height != n.height) {
    Difference d;
    d.base = {b.width, b.height};
    d.now = {n.width, n.height};
    return d;
  }
  std::vector<std::uint8_t> indices;
  Difference d = compare_images(b, n, indices);
  auto encoded = png::encode_indexed(n.width, n.height, kPalette, indices);
  if (!encoded) return std::unexpected(CompareError{Side::Difference, std::move(encoded.error())});
  d.png = std::move(*encoded);
  return d;
}

std::string difference_json(const Difference& d) {
  using namespace json_text;
  auto numbers = [](std::string& out, std::initializer_list<std::uint64_t> values) {
    append_array(out, values, [](std::string& o, std::uint64_t v) { append_uint(o, v); });
  };
  std::string out;
  {
    ObjectWriter object(out);
    numbers(object.key("base"), {d.base.width, d.base.height});
    numbers(object.key("new"), {d.now.width, d.now.height});
    if (d.base == d.now) {
      append_uint(object.key("differing"), d.differing);
      if (d.differing > 0) numbers(object.key("box"), {d.box.x, d.box.y, d.box.width, d.box.height});
    }
  }
  return out;
}

}  // namespace kestrelite
