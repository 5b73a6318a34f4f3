// Owns one file descriptor: a socket, a pipe end or an open file. The
// descriptor is closed when the owner is dropped or reset; close_checked()
// closes it now and reports what a deferred close would lose.
#pragma once

#include <unistd.h>

namespace kestrelite {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // 0, or -1 with errno set by close().
  int close_checked() { return ::close(release()); }

 private:
  int fd_ = -1;
};

}  // namespace kestrelite
