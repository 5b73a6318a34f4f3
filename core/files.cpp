#include "files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "fd.hpp"
#include "json_text.hpp"

namespace kestrelite {

Result<std::string> read_text_file(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return fail(Error::io_errno(errno));
  std::string text;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n > 0) {
      text.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return fail(Error::io_errno(errno));
    }
  }
  if (json_text::valid_utf8_prefix(text) != text.size())
    return fail(Error::io_message("stream did not contain valid UTF-8"));
  return text;
}

namespace {

// A temporary name beside `path` that no one can guess, hidden: a dot, its
// name, a dot, 16 random hexadecimal digits and ".partial".
Result<std::filesystem::path> temporary_beside(const std::filesystem::path& path) {
  unsigned char random[8];
  if (::getentropy(random, sizeof random) != 0) return fail(Error::io_errno(errno));
  static constexpr char kHex[] = "0123456789abcdef";
  std::string suffix = ".";
  for (unsigned char byte : random) {
    suffix += kHex[byte >> 4];
    suffix += kHex[byte & 15];
  }
  return path.parent_path() / ("." + path.filename().string() + suffix + ".partial");
}

// Flushes a directory's entries (a rename in it) to disk; best effort where
// the system cannot.
void sync_directory(const std::filesystem::path& dir) {
  UniqueFd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) ::fsync(fd.get());
}

}  // namespace

Result<void> write_file_replacing(const std::filesystem::path& path, std::string_view bytes) {
  // Created exclusively and never through a link: a file or link planted
  // under the name is not reused or followed (a clash with one is retried).
  std::filesystem::path temp;
  UniqueFd fd;
  for (int attempt = 0; attempt < 8 && !fd; ++attempt) {
    auto name = temporary_beside(path);
    if (!name) return fail(std::move(name.error()));
    temp = std::move(*name);
    fd = UniqueFd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd && errno != EEXIST) return fail(Error::io_errno(errno));
  }
  if (!fd) return fail(Error::io_errno(EEXIST));
  auto abandon = [&](int err) {
    ::unlink(temp.c_str());
    return fail(Error::io_errno(err));
  };
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  // On disk before the rename, so that a crash leaves the old file or the
  // whole new one under the name, never a short one.
  if (::fsync(fd.get()) != 0) return abandon(errno);
  if (fd.close_checked() != 0) return abandon(errno);
  if (::rename(temp.c_str(), path.c_str()) != 0) return abandon(errno);
  sync_directory(path.parent_path());
  return {};
}

Result<void> create_directory_tree(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return fail(Error::io(ec));
  return {};
}

}  // namespace kestrelite
