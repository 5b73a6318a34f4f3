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
// the same greys tinted yellow, the mark, the greys tinted blue, the
// hatching, then the anti-aliasing mark.
constexpr std::uint8_t kGreys = 64;
constexpr std::uint8_t kTinted = kGreys;
constexpr std::uint8_t kMarkIndex = 2 * kGreys;
constexpr std::uint8_t kMaskedGreys = kMarkIndex + 1;
constexpr std::uint8_t kHatchIndex = kMaskedGreys + kGreys;
constexpr std::uint8_t kAntialiasedIndex = kHatchIndex + 1;
constexpr std::size_t kPaletteSize = kAntialiasedIndex + 1;

// One hatching line every kHatchStep pixels along each row.
constexpr std::uint32_t kHatchStep = 8;

constexpr std::uint8_t scaled(std::uint8_t grey, unsigned share) {
  return static_cast<std::uint8_t>(grey * share / 255);
}

constexpr std::array<Rgb, kPaletteSize> make_palette() {
  std::array<Rgb, kPaletteSize> palette{};
  for (unsigned i = 0; i < kGreys; ++i) {
    // Half the contrast of the picture: dark text becomes mid grey.
    const auto grey = static_cast<std::uint8_t>(255 - 2 * i);
    palette[i] = {grey, grey, grey};
    palette[kTinted + i] = {grey, scaled(grey, 218), scaled(grey, 40)};
    palette[kMaskedGreys + i] = {scaled(grey, 170), scaled(grey, 200), grey};
  }
  palette[kMarkIndex] = kMark;
  palette[kHatchIndex] = kHatch;
  palette[kAntialiasedIndex] = kAntialiasedMark;
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

const std::uint8_t* pixel_at(const Image& image, std::uint32_t x, std::uint32_t y) {
  return image.pixels.get() + std::size_t{y} * image.row_bytes() + std::size_t{x} * image.pixel_bytes();
}

std::int64_t sample(const Image& image, const std::uint8_t* p, int channel) {
  return image.depth == 8 ? p[channel] : p[2 * channel] << 8 | p[2 * channel + 1];
}

// The Y of YIQ over a white background, scaled by 10^8 times the square of
// the largest sample. Integers, so that the neighbours' order never depends
// on rounding; 10^8 * 65535^2 fits easily in 63 bits.
std::int64_t brightness(const Image& image, const std::uint8_t* p) {
  const std::int64_t full = image.depth == 8 ? 255 : 65535;
  const std::int64_t alpha = sample(image, p, 3);
  auto over_white = [&](int channel) { return full * full + (sample(image, p, channel) - full) * alpha; };
  return 29889531 * over_white(0) + 58662247 * over_white(1) + 11448223 * over_white(2);
}

// Beyond the edge counts as one neighbour equal to the pixel: an edge pixel
// is more likely the end of a flat area than anti-aliasing.
unsigned edge_share(const Image& image, std::uint32_t x, std::uint32_t y) {
  return x == 0 || y == 0 || x + 1 == image.width || y + 1 == image.height;
}

struct Point {
  std::uint32_t x = 0, y = 0;
};

// Calls visit(neighbour) for each of the pixel's neighbours inside the
// image, row by row, while visit returns true.
template <class Visit>
void visit_neighbours(const Image& image, std::uint32_t x, std::uint32_t y, Visit visit) {
  const std::uint32_t x0 = x > 0 ? x - 1 : 0, x1 = std::min(x + 1, image.width - 1);
  const std::uint32_t y0 = y > 0 ? y - 1 : 0, y1 = std::min(y + 1, image.height - 1);
  for (std::uint32_t ny = y0; ny <= y1; ++ny)
    for (std::uint32_t nx = x0; nx <= x1; ++nx)
      if ((nx != x || ny != y) && !visit(Point{nx, ny})) return;
}

bool same_rgba(const Image& image, const std::uint8_t* a, const std::uint8_t* b) {
  return image.depth == 8 ? raw<8>(a) == raw<8>(b) : raw<16>(a) == raw<16>(b);
}

// At least 3 of the pixel's neighbours have its exact RGBA.
bool in_flat_area(const Image& image, Point at) {
  const std::uint8_t* own = pixel_at(image, at.x, at.y);
  unsigned equal = edge_share(image, at.x, at.y);
  visit_neighbours(image, at.x, at.y, [&](Point n) {
    equal += same_rgba(image, own, pixel_at(image, n.x, n.y));
    return equal < 3;
  });
  return equal >= 3;
}

// A mask clipped to the image: columns [x0, x1) of rows [y0, y1), not empty.
struct Area {
  std::uint32_t x0, x1, y0, y1;
};

struct Span {
  std::uint32_t begin, end;
};

// The part of [from, from + length) inside [0, limit).
Span clip(std::int64_t from, std::int64_t length, std::uint32_t limit) {
  if (length <= 0 || from >= std::int64_t{limit}) return {0, 0};
  // length and limit - from are positive here: as unsigned, neither overflows.
  const std::uint64_t room = std::uint64_t{limit} - static_cast<std::uint64_t>(from);
  const std::int64_t end = static_cast<std::uint64_t>(length) >= room ? std::int64_t{limit} : from + length;
  if (end <= 0) return {0, 0};
  return {static_cast<std::uint32_t>(std::max<std::int64_t>(from, 0)), static_cast<std::uint32_t>(end)};
}

std::vector<Area> clip_masks(std::span<const MaskBox> masks, std::uint32_t width, std::uint32_t height) {
  std::vector<Area> areas;
  for (const MaskBox& mask : masks) {
    const Span columns = clip(mask.x, mask.width, width);
    const Span rows = clip(mask.y, mask.height, height);
    if (columns.begin < columns.end && rows.begin < rows.end)
      areas.push_back({columns.begin, columns.end, rows.begin, rows.end});
  }
  return areas;
}

// What a differing pixel counts as.
enum class Kind { Changed, Masked, Antialiased };

// Without masks, with anti-aliasing counted: every differing pixel is a
// change. A scan of its own keeps this common case free of any check.
struct CountAll {
  void start_row(std::uint32_t) {}
  Kind kind(std::uint32_t, std::uint32_t) const { return Kind::Changed; }
};

// Decides what each differing pixel counts as, a row at a time.
class Judge {
 public:
  Judge(const Image& base, const Image& now, std::span<const Area> areas, Antialiasing antialiasing)
      : base_(base), now_(now), areas_(areas), ignore_antialiasing_(antialiasing == Antialiasing::Ignore) {}

  // Keeps the columns that masks cover in row y, so that a pixel is
  // checked against the few masks of its row only.
  void start_row(std::uint32_t y) {
    row_.clear();
    for (const Area& a : areas_)
      if (a.y0 <= y && y < a.y1) row_.push_back({a.x0, a.x1});
  }

  Kind kind(std::uint32_t x, std::uint32_t y) const {
    for (const Span& s : row_)
      if (s.begin <= x && x < s.end) return Kind::Masked;
    if (ignore_antialiasing_ && (is_antialiased(base_, now_, x, y) || is_antialiased(now_, base_, x, y)))
      return Kind::Antialiased;
    return Kind::Changed;
  }

 private:
  const Image& base_;
  const Image& now_;
  std::span<const Area> areas_;
  bool ignore_antialiasing_;
  std::vector<Span> row_;
};

template <unsigned BaseDepth, unsigned NewDepth, class Judging>
Difference scan(const Image& base, const Image& now, Judging& judge, std::uint8_t* indices) {
  Difference d;
  std::uint32_t left = now.width, right = 0, top = now.height, bottom = 0;
  for (std::uint32_t y = 0; y < now.height; ++y) {
    const std::uint8_t* b = base.pixels.get() + y * base.row_bytes();
    const std::uint8_t* n = now.pixels.get() + y * now.row_bytes();
    std::uint8_t* out = indices + std::size_t{y} * now.width;
    fade_row<NewDepth>(n, now.width, out);
    // Most rows of two screenshots are equal: one comparison clears them.
    if (BaseDepth == NewDepth && std::memcmp(b, n, now.row_bytes()) == 0) continue;
    judge.start_row(y);
    std::uint64_t row_count = 0;
    std::uint32_t first = now.width, last = 0;
    for (std::uint32_t x = 0; x < now.width; ++x, b += BaseDepth / 2, n += NewDepth / 2) {
      if (same_pixel<BaseDepth, NewDepth>(b, n)) continue;
      const Kind kind = judge.kind(x, y);
      if (kind == Kind::Masked) {
        ++d.masked;  // painted with its mask afterwards
        continue;
      }
      if (kind == Kind::Antialiased) {
        ++d.antialiased;
        out[x] = kAntialiasedIndex;
        continue;
      }
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

template <class Judging>
Difference scan_depths(const Image& base, const Image& now, Judging& judge, std::uint8_t* indices) {
  if (base.depth == 8 && now.depth == 8) return scan<8, 8>(base, now, judge, indices);
  if (base.depth == 8) return scan<8, 16>(base, now, judge, indices);
  if (now.depth == 8) return scan<16, 8>(base, now, judge, indices);
  return scan<16, 16>(base, now, judge, indices);
}

// Tints the masked areas blue, with diagonal hatching that shows them even
// scaled down. Only greys are painted, so a pixel in two masks is painted
// once; no pixel of a mask is marked.
void paint_masks(std::uint8_t* indices, std::uint32_t width, std::span<const Area> areas) {
  for (const Area& a : areas)
    for (std::uint32_t y = a.y0; y < a.y1; ++y) {
      std::uint8_t* row = indices + std::size_t{y} * width;
      for (std::uint32_t x = a.x0; x < a.x1; ++x)
        if (row[x] < kGreys) row[x] = (x + y) % kHatchStep == 0 ? kHatchIndex : kMaskedGreys + row[x];
    }
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

bool is_antialiased(const Image& image, const Image& other, std::uint32_t x, std::uint32_t y) {
  const std::int64_t own = brightness(image, pixel_at(image, x, y));
  unsigned equal = edge_share(image, x, y);
  std::int64_t darkest = 0, brightest = 0;  // brightness of a neighbour minus the pixel's
  Point dark, bright;
  visit_neighbours(image, x, y, [&](Point n) {
    const std::int64_t delta = brightness(image, pixel_at(image, n.x, n.y)) - own;
    if (delta == 0) {
      ++equal;
    } else if (delta < darkest) {
      darkest = delta;
      dark = n;
    } else if (delta > brightest) {
      brightest = delta;
      bright = n;
    }
    return equal <= 2;
  });
  // More than 2 equal neighbours is a flat area or a line, not a blend.
  if (equal > 2 || darkest == 0 || brightest == 0) return false;
  // A blend sits between two areas; one of them flat in both images shows
  // that the edge, not the area, moved.
  return (in_flat_area(image, dark) && in_flat_area(other, dark)) ||
         (in_flat_area(image, bright) && in_flat_area(other, bright));
}

std::span<const Rgb> difference_palette() { return kPalette; }

std::uint32_t halo_radius(ImageSize size) {
  return std::max<std::uint32_t>(6, static_cast<std::uint32_t>((std::uint64_t{size.width} + size.height) / 80));
}

Difference compare_images(const Image& base, const Image& now, std::vector<std::uint8_t>& indices,
                          const CompareOptions& options) {
  indices.resize(std::size_t{now.width} * now.height);
  const std::vector<Area> areas = clip_masks(options.masks, now.width, now.height);
  Difference d;
  if (areas.empty() && options.antialiasing == Antialiasing::Count) {
    CountAll judge;
    d = scan_depths(base, now, judge, indices.data());
  } else {
    Judge judge(base, now, areas, options.antialiasing);
    d = scan_depths(base, now, judge, indices.data());
  }
  d.base = d.now = {now.width, now.height};
  // Before the tint, which then leaves the masks as they are.
  paint_masks(indices.data(), now.width, areas);
  if (d.differing > 0) tint_around(indices.data(), now.width, now.height, d.box, halo_radius(d.now));
  return d;
}

std::expected<Difference, CompareError> compare_png(std::string_view base, std::string_view now,
                                                    const CompareOptions& options) {
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
  Difference d = compare_images(b, n, indices, options);
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
      if (d.antialiased > 0) append_uint(object.key("antialiased"), d.antialiased);
      if (d.masked > 0) append_uint(object.key("masked"), d.masked);
      if (d.differing > 0) numbers(object.key("box"), {d.box.x, d.box.y, d.box.width, d.box.height});
    }
  }
  return out;
}

}  // namespace kestrelite
