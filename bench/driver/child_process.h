// ChildProcess: a measured program with its standard input and output on
// pipes (standard error is inherited), reaped with wait4 so that its CPU
// time can be read. Failures are thrown as std::runtime_error: the driver
// stops at the first one.
//
// Every wait is bounded. The destructor kills (SIGKILL) and reaps a child
// still running. One thread uses a ChildProcess, except that stdinFd() may
// be written from another thread while the owner reads standard output.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace harlo::bench {

struct ChildExit {
  int waitStatus = 0;
  rusage usage{};  // the child's own user and system time, all threads included
};

class ChildProcess final {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  // Starts argv[0] (a path) with the driver's environment plus `environment`.
  static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv,
                                             const Environment& environment = {});

  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  int stdinFd() const { return stdin_; }

  // Writes all of `bytes` to the child's standard input (blocking).
  void writeStdin(const std::string& bytes);
  void closeStdin();

  // The next standard-output line without its line feed.
  std::string readLine(std::chrono::milliseconds bound);
  // Reads standard output until `count` more line feeds have come.
  void skipLines(std::size_t count, std::chrono::milliseconds bound);
  // Reads standard output to its end and returns the byte count.
  std::size_t drainToEnd(std::chrono::milliseconds bound);

  // Reaps the child; throws if it does not end within `bound`.
  ChildExit waitForExit(std::chrono::milliseconds bound);

 private:
  ChildProcess(pid_t pid, int input, int output) : pid_(pid), stdin_(input), stdout_(output) {}
  // Appends what standard output has now, waiting up to `bound`; false at its end.
  bool fill(std::chrono::steady_clock::time_point deadline);

  pid_t pid_;
  bool reaped_ = false;
  int stdin_;
  int stdout_;
  std::string unread_;
};

}  // namespace harlo::bench
