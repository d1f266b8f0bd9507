#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace harlo::bench {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

int remainingMillis(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                                  const Environment& environment) {
  int input[2];
  int output[2];
  if (::pipe2(input, O_CLOEXEC) != 0) throwErrno("pipe");
  if (::pipe2(output, O_CLOEXEC) != 0) throwErrno("pipe");

  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    const auto replaced = std::any_of(environment.begin(), environment.end(), [&](const auto& pair) {
      return variable.rfind(pair.first + "=", 0) == 0;
    });
    if (!replaced) variables.push_back(variable);
  }
  for (const auto& [name, value] : environment) variables.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::vector<std::string> arguments = argv;
  std::vector<char*> args;
  for (auto& argument : arguments) args.push_back(argument.data());
  args.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) throwErrno("fork");
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    if (::dup2(input[0], STDIN_FILENO) < 0 || ::dup2(output[1], STDOUT_FILENO) < 0) ::_exit(127);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(input[0]);
  ::close(output[1]);
  return std::unique_ptr<ChildProcess>(new ChildProcess(pid, input[1], output[0]));
}

ChildProcess::~ChildProcess() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  closeStdin();
  ::close(stdout_);
}

void ChildProcess::writeStdin(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(stdin_, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      throwErrno("writing the child's standard input");
    }
    done += static_cast<std::size_t>(written);
  }
}

void ChildProcess::closeStdin() {
  if (stdin_ >= 0) ::close(stdin_);
  stdin_ = -1;
}

bool ChildProcess::fill(Clock::time_point deadline) {
  pollfd ready{stdout_, POLLIN, 0};
  const int polled = ::poll(&ready, 1, remainingMillis(deadline));
  if (polled < 0 && errno != EINTR) throwErrno("poll");
  if (polled == 0 && Clock::now() >= deadline) throw std::runtime_error("timed out reading the child's output");
  if (polled <= 0) return true;
  char block[64 * 1024];
  const ssize_t got = ::read(stdout_, block, sizeof block);
  if (got < 0) {
    if (errno == EINTR) return true;
    throwErrno("reading the child's output");
  }
  unread_.append(block, static_cast<std::size_t>(got));
  return got > 0;
}

std::string ChildProcess::readLine(std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  for (;;) {
    const auto feed = unread_.find('\n');
    if (feed != std::string::npos) {
      std::string line = unread_.substr(0, feed);
      unread_.erase(0, feed + 1);
      return line;
    }
    if (!fill(deadline)) throw std::runtime_error("the child's output ended");
  }
}

void ChildProcess::skipLines(std::size_t count, std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  for (;;) {
    std::size_t begin = 0;
    while (count > 0) {
      const auto feed = unread_.find('\n', begin);
      if (feed == std::string::npos) break;
      begin = feed + 1;
      --count;
    }
    unread_.erase(0, begin);
    if (count == 0) return;
    if (!fill(deadline)) {
      throw std::runtime_error("the child's output ended " + std::to_string(count) + " lines early");
    }
  }
}

std::size_t ChildProcess::drainToEnd(std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  while (fill(deadline)) {
  }
  const std::size_t size = unread_.size();
  unread_.clear();
  return size;
}

ChildExit ChildProcess::waitForExit(std::chrono::milliseconds bound) {
  // A pidfd turns readable when the child ends, so the wait is bounded
  // without polling (which would add its period to the start-up figures).
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd < 0) throwErrno("pidfd_open");
  pollfd ended{pidfd, POLLIN, 0};
  int polled;
  do {
    polled = ::poll(&ended, 1, static_cast<int>(bound.count()));
  } while (polled < 0 && errno == EINTR);
  ::close(pidfd);
  if (polled <= 0) throw std::runtime_error("the child did not exit");
  ChildExit exit;
  if (::wait4(pid_, &exit.waitStatus, 0, &exit.usage) != pid_) throwErrno("wait4");
  reaped_ = true;
  return exit;
}

}  // namespace harlo::bench
