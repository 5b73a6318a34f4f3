// A browser child process and everything it starts, as one owned value.
//
// The program runs in a process group of its own, so that killing the group
// also ends what it started (a wrapper script's real browser, the browser's
// helper processes). It inherits standard input and no other descriptor of
// ours; standard output goes to the null device and standard error to a pipe
// whose read end the caller takes.
//
// Between us and the program stands a small reaper process of ours, forked
// before the program is started. On Linux it is the "child subreaper" of
// everything below it, so a killed helper whose parent is gone becomes its
// zombie, not init's, and is collected at once instead of whenever init gets
// to it. The reaper holds the program's own exit status back until it is
// told to end, so the group id stays reserved and the group kill can never
// reach a stranger. It is told by the closing of a pipe, which also happens
// when our process dies, however it dies: the reaper is in a process group
// of its own, so a SIGKILL to our whole process group (a cancelled CI job)
// does not reach it, and the browser then does not outlive us either.
//
// Ending the value kills the group with SIGKILL, lets the reaper collect
// every process below it, reaps the reaper and then checks, within
// kGroupEndLimit, that no process of the group is left. Destroying the value
// ends it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "fd.hpp"
#include "kestrelite/error.hpp"

namespace kestrelite {

// A close-on-exec pipe.
struct Pipe {
  UniqueFd read;
  UniqueFd write;
};
Result<Pipe> make_pipe();

// How long ending a child waits for the rest of its process group.
inline constexpr std::chrono::milliseconds kGroupEndLimit{3000};

class ChildProcess {
 public:
  // Starts `program` (searched in PATH when it holds no "/") with `args`
  // after argv[0]. The error is the operating system's reason.
  static Result<ChildProcess> spawn(const std::filesystem::path& program, const std::vector<std::string>& args);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ~ChildProcess() { end(); }

  // The program's process id, which is also its process group id.
  pid_t pid() const { return pid_; }
  // The read end of the child's standard error; empty after the first call.
  UniqueFd take_stderr() { return std::move(stderr_); }
  // Kills the whole group, collects it and waits for it to empty. False
  // when processes of the group were still there at kGroupEndLimit; later
  // calls return the same answer. Never fails.
  bool end();

 private:
  ChildProcess(pid_t reaper, pid_t pid, UniqueFd stderr_read, UniqueFd release)
      : reaper_(reaper), pid_(pid), stderr_(std::move(stderr_read)), release_(std::move(release)) {}

  pid_t reaper_ = -1;
  pid_t pid_ = -1;
  UniqueFd stderr_;
  UniqueFd release_;  // closing it tells the reaper to kill and collect
  bool group_ended_ = true;
};

}  // namespace kestrelite
