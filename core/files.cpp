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

Result<void> write_file_replacing(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::path temp = path;
  temp += ".partial";
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) return fail(Error::io_errno(errno));
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
  if (fd.close_checked() != 0) return abandon(errno);
  if (::rename(temp.c_str(), path.c_str()) != 0) return abandon(errno);
  return {};
}

Result<void> create_directory_tree(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return fail(Error::io(ec));
  return {};
}

}  // namespace kestrelite
