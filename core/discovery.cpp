#include "kestrelite/discovery.hpp"

#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <set>
#include <utility>
#include <vector>

#include "discovery.hpp"
#include "json_text.hpp"

namespace kestrelite {

namespace {

bool names_file(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::is_regular_file(p, ec);
}

bool names_directory(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::is_directory(p, ec);
}

// Decodes one code point of valid UTF-8 starting at `i`; returns its length.
std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return len;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Trims Unicode white space from both ends of valid UTF-8 text.
std::string_view trim_unicode(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    char32_t cp;
    std::size_t len = decode(s, begin, cp);
    if (!is_unicode_space(cp)) break;
    begin += len;
  }
  std::size_t end = begin;  // end of the last non-space code point
  for (std::size_t i = begin; i < s.size();) {
    char32_t cp;
    std::size_t len = decode(s, i, cp);
    i += len;
    if (!is_unicode_space(cp)) end = i;
  }
  return s.substr(begin, end - begin);
}

// Identity of a directory, following links, for cycle detection.
std::optional<std::pair<dev_t, ino_t>> directory_id(const std::filesystem::path& p) {
  struct stat st;
  if (::stat(p.c_str(), &st) != 0) return std::nullopt;
  return std::pair{st.st_dev, st.st_ino};
}

// The first directory of $PATH that holds a file named `name`.
std::optional<std::filesystem::path> on_path(std::string_view name) {
  const char* path_var = std::getenv("PATH");
  if (!path_var) return std::nullopt;
  std::string_view dirs(path_var);
  for (;;) {
    std::size_t colon = dirs.find(':');
    std::filesystem::path candidate = std::filesystem::path(dirs.substr(0, colon)) / name;
    if (names_file(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    dirs.remove_prefix(colon + 1);
  }
}

// $KESTRELITE_CHROME trimmed, when it is set, valid UTF-8 and not blank.
std::optional<std::string_view> explicit_browser() {
  const char* value = std::getenv("KESTRELITE_CHROME");
  if (!value) return std::nullopt;
  std::string_view text(value);
  if (json_text::valid_utf8_prefix(text) != text.size()) return std::nullopt;
  std::string_view trimmed = trim_unicode(text);
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}

}  // namespace

std::filesystem::path managed_root() {
  const char* base = std::getenv("KESTRELITE_HOME");
  if (base && *base) return std::filesystem::path(base) / "browser";
  const char* home = std::getenv("HOME");
  if (!home) home = std::getenv("USERPROFILE");
  std::filesystem::path root = home ? std::filesystem::path(home) : std::filesystem::path(".");
  return root / ".kestrelite" / "browser";
}

std::string path_text(const std::filesystem::path& path) { return json_text::lossy_utf8(path.string()); }

std::optional<std::filesystem::path> find_in_tree(const std::filesystem::path& dir, std::string_view name) {
  // An explicit stack in place of recursion; subdirectories are pushed in
  // reverse so they pop in listing order, which gives the same order as
  // searching each one completely before the next.
  std::vector<std::filesystem::path> pending{dir};
  std::set<std::pair<dev_t, ino_t>> visited;
  while (!pending.empty()) {
    std::filesystem::path current = std::move(pending.back());
    pending.pop_back();
    if (auto id = directory_id(current); id && !visited.insert(*id).second) continue;
    std::error_code ec;
    std::filesystem::directory_iterator it(current, ec);
    if (ec) continue;
    std::vector<std::filesystem::path> subdirs;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
      if (ec) break;
      std::filesystem::path path = current / it->path().filename();
      if (names_file(path)) {
        if (path.filename() == name) return path;
      } else if (names_directory(path)) {
        subdirs.push_back(std::move(path));
      }
    }
    for (auto sub = subdirs.rbegin(); sub != subdirs.rend(); ++sub) pending.push_back(std::move(*sub));
  }
  return std::nullopt;
}

Result<std::filesystem::path> find_browser(const std::optional<std::filesystem::path>& search_dir) {
  if (auto named = explicit_browser()) {
    std::filesystem::path candidate(*named);
    if (names_file(candidate)) return candidate;
    return fail(Error::browser("KESTRELITE_CHROME points at " + std::string(*named) + ", which is not a file"));
  }
  std::filesystem::path root = search_dir ? *search_dir : managed_root();
  if (names_directory(root))
    if (auto found = find_in_tree(root, "chrome-headless-shell")) return *found;
  for (std::string_view name : kPathNames)
    if (auto found = on_path(name)) return *found;
  return fail(Error::browser("no browser found. Set KESTRELITE_CHROME, or run `kestrelite install-browser`."));
}

Result<ChosenBrowser> choose_browser() {
  auto found = find_browser();
  if (found) return ChosenBrowser{std::move(*found), false};
  if (explicit_browser()) return fail(std::move(found.error()));
  if (auto shell = on_path(kDebianShell)) return ChosenBrowser{std::move(*shell), true};
  std::string names(kDebianShell);
  for (std::string_view name : kPathNames) names += ", " + std::string(name);
  return fail(Error::browser("no browser found: KESTRELITE_CHROME is not set, " + path_text(managed_root()) +
                             " holds no chrome-headless-shell, and no directory of PATH holds " + names));
}

}  // namespace kestrelite
