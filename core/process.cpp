#include "process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

extern char** environ;

namespace kestrelite {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(Error::io_errno(errno));
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

namespace {

// posix_spawn's attribute and file-action objects, released on every path.
struct SpawnSetup {
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  SpawnSetup() {
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

Result<ChildProcess> ChildProcess::spawn(const std::filesystem::path& program, const std::vector<std::string>& args) {
  auto pipe = make_pipe();
  if (!pipe) return fail(std::move(pipe.error()));

  SpawnSetup setup;
  // A group of its own; no blocked signals; SIGPIPE and SIGXFSZ back to
  // their defaults, since a Python host ignores them and ignored signals
  // are inherited.
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  int rc = posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (rc == 0) rc = posix_spawnattr_setpgroup(&setup.attr, 0);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&setup.attr, &empty);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&setup.attr, &defaults);
  if (rc == 0) rc = posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, pipe->write.get(), STDERR_FILENO);
  // Descriptors the host opened without close-on-exec must not leak either.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
  if (rc != 0) return fail(Error::io_errno(rc));

  std::vector<std::string> argv_storage;
  argv_storage.reserve(args.size() + 1);
  argv_storage.push_back(program.string());
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  rc = ::posix_spawnp(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), environ);
  if (rc != 0) return fail(Error::io_errno(rc));
  return ChildProcess(pid, std::move(pipe->read));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), stderr_(std::move(other.stderr_)), group_ended_(other.group_ended_) {
  other.pid_ = -1;
}

namespace {

// True once no process of group `pgid` exists, zombies included (signal 0
// still reaches a zombie), within `limit`. Nothing tells us when processes
// that are not our children go, so the group is looked at with growing
// pauses: at once, then after 1, 2, 4 ... up to 50 ms.
bool wait_for_group_end(pid_t pgid, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + limit;
  std::chrono::milliseconds pause{1};
  for (;;) {
    if (::kill(-pgid, 0) != 0 && errno == ESRCH) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds{50});
  }
}

}  // namespace

bool ChildProcess::end() {
  if (pid_ <= 0) return group_ended_;
  // The group is killed before the child is reaped: until then the child's
  // pid, and so the group id, cannot be reused by another process. The
  // wait after it only sends signal 0, which changes nothing.
  const pid_t group = pid_;
  ::kill(-group, SIGKILL);
  ::kill(group, SIGKILL);
  while (::waitpid(group, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  stderr_.reset();
  group_ended_ = wait_for_group_end(group, kGroupEndLimit);
  return group_ended_;
}

}  // namespace kestrelite
