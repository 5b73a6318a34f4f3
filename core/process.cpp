#include "process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <utility>

extern char** environ;

namespace kestrelite {

Result<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(Error::io_errno(errno));
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

namespace {

using Clock = std::chrono::steady_clock;

// The program's path as execvp would find it: as given when it holds a
// "/", else the first executable file of that name in PATH.
std::string resolve_program(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/bin:/usr/bin";
  for (;;) {
    const std::size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    std::string candidate = dir.empty() ? program : std::string(dir) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) return program;  // execve reports why it cannot run
    dirs.remove_prefix(colon + 1);
  }
}

// A fork that runs no handlers registered with pthread_atfork: the child
// below calls only async-signal-safe functions, whatever threads the host
// has.
pid_t fork_bare() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  return ::_Fork();
#else
  return ::fork();
#endif
}

void close_from(int first) {
#ifdef __linux__
  if (::close_range(static_cast<unsigned>(first), ~0U, 0) == 0) return;
#endif
  const long last = ::sysconf(_SC_OPEN_MAX);
  for (long fd = first; fd < (last > 0 ? last : 1024); ++fd) ::close(static_cast<int>(fd));
}

// What the reaper reports once the program has been started or has failed
// to start.
struct Started {
  std::int32_t pid;    // the program's pid, or 0 when there is none
  std::int32_t error;  // errno of the failed fork or exec, else 0
};

// Descriptor numbers inside the reaper.
constexpr int kReportFd = 3;
constexpr int kReleaseFd = 4;

// The reaper's whole life; never returns. Only async-signal-safe calls: it
// is forked from a host that may have other threads.
[[noreturn]] void reaper_main(int stderr_write, int report_write, int release_read, const char* path,
                              char* const* argv) {
  sigset_t all;
  sigfillset(&all);
  ::sigprocmask(SIG_SETMASK, &all, nullptr);  // a terminal's Ctrl-C is for the host
  // A group of its own: a kill of the host's whole process group (how CI
  // cancels a job) leaves it alive to end the browser when the host is gone.
  ::setpgid(0, 0);
#ifdef __linux__
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
#endif
  // Standard error and the two pipes move to known numbers, everything
  // else the host had open is closed, standard output is the null device.
  const int err = ::fcntl(stderr_write, F_DUPFD, 10);
  const int report = ::fcntl(report_write, F_DUPFD, 10);
  const int release = ::fcntl(release_read, F_DUPFD, 10);
  const int null = ::open("/dev/null", O_WRONLY);
  if (null != STDOUT_FILENO) ::dup2(null, STDOUT_FILENO);
  ::dup2(err, STDERR_FILENO);
  ::dup2(report, kReportFd);
  ::dup2(release, kReleaseFd);
  close_from(kReleaseFd + 1);
  ::fcntl(kReportFd, F_SETFD, FD_CLOEXEC);
  ::fcntl(kReleaseFd, F_SETFD, FD_CLOEXEC);

  // The program shares our memory until it execs, so it can leave the
  // reason of a failed exec here.
  volatile int exec_error = 0;
  const pid_t pid = ::vfork();
  if (pid == 0) {
    ::setpgid(0, 0);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    // A Python host ignores these two, and ignored signals are inherited.
    ::sigaction(SIGPIPE, &dfl, nullptr);
    ::sigaction(SIGXFSZ, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(path, argv, environ);
    exec_error = errno;
    ::_exit(127);
  }
  Started started{pid > 0 ? pid : 0, pid < 0 ? errno : exec_error};
  if (started.error != 0 && pid > 0) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    started.pid = 0;
  }
  (void)!::write(kReportFd, &started, sizeof started);
  ::close(kReportFd);
  ::close(STDIN_FILENO);
  ::close(STDOUT_FILENO);
  ::close(STDERR_FILENO);
  if (started.error != 0) ::_exit(0);

  // Until told, the program's exit status is not collected, which keeps
  // its pid and so the group id from being reused. The pipe also closes
  // when the host dies: the browser then ends with it.
  char byte;
  while (::read(kReleaseFd, &byte, 1) < 0 && errno == EINTR) {
  }
  ::kill(-pid, SIGKILL);
  while (::waitpid(-1, nullptr, 0) >= 0 || errno == EINTR) {
  }
  ::_exit(0);
}

// Reads exactly sizeof(Started) bytes; false at an early end of stream.
bool read_started(int fd, Started& out) {
  auto* bytes = reinterpret_cast<char*>(&out);
  std::size_t got = 0;
  while (got < sizeof out) {
    const ssize_t n = ::read(fd, bytes + got, sizeof out - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

void reap(pid_t pid) {
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Waits that nothing signals look again after growing pauses: at once, then
// after 1, 2, 4 ... up to 50 ms, until `done` or the deadline.
template <class Done>
bool poll_until(Done done, Clock::time_point deadline) {
  std::chrono::milliseconds pause{1};
  for (;;) {
    if (done()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds{50});
  }
}

}  // namespace

Result<ChildProcess> ChildProcess::spawn(const std::filesystem::path& program, const std::vector<std::string>& args) {
  auto err = make_pipe();
  if (!err) return fail(std::move(err.error()));
  auto report = make_pipe();
  if (!report) return fail(std::move(report.error()));
  auto release = make_pipe();
  if (!release) return fail(std::move(release.error()));

  // Everything the reaper needs is built before the fork: it may not
  // allocate.
  const std::string path = resolve_program(program.string());
  std::vector<std::string> argv_storage;
  argv_storage.reserve(args.size() + 1);
  argv_storage.push_back(program.string());
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t reaper = fork_bare();
  if (reaper < 0) return fail(Error::io_errno(errno));
  if (reaper == 0) reaper_main(err->write.get(), report->write.get(), release->read.get(), path.c_str(), argv.data());

  err->write.reset();
  report->write.reset();
  release->read.reset();
  Started started{};
  if (!read_started(report->read.get(), started)) {
    reap(reaper);
    return fail(Error::io_errno(ECHILD));
  }
  if (started.error != 0) {
    reap(reaper);
    return fail(Error::io_errno(started.error));
  }
  return ChildProcess(reaper, started.pid, std::move(err->read), std::move(release->write));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : reaper_(std::exchange(other.reaper_, -1)),
      pid_(std::exchange(other.pid_, -1)),
      stderr_(std::move(other.stderr_)),
      release_(std::move(other.release_)),
      group_ended_(other.group_ended_) {}

bool ChildProcess::end() {
  if (reaper_ <= 0) return group_ended_;
  const auto deadline = Clock::now() + kGroupEndLimit;
  // While the reaper lives it has not collected the program, so the group
  // id is still ours to kill. The reaper kills the group too once released;
  // this kill only spares it the wait for the wake-up.
  if (::waitpid(reaper_, nullptr, WNOHANG) == 0) ::kill(-pid_, SIGKILL);
  release_.reset();
  const pid_t reaper = reaper_;
  const bool reaped = poll_until([&] { return ::waitpid(reaper, nullptr, WNOHANG) != 0; }, deadline);
  if (!reaped) {
    // Something below it left the group and lives on: it goes to init.
    ::kill(reaper, SIGKILL);
    reap(reaper);
  }
  // A process that joined the group from outside is not below the reaper;
  // signal 0 tells whether the group is empty and changes nothing.
  const pid_t group = pid_;
  group_ended_ = reaped && poll_until([&] { return ::kill(-group, 0) != 0 && errno == ESRCH; }, deadline);
  reaper_ = -1;
  pid_ = -1;
  stderr_.reset();
  return group_ended_;
}

}  // namespace kestrelite
