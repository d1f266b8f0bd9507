#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <thread>

namespace harlo::test_support {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds leftUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return std::max(left, std::chrono::milliseconds(0));
}

std::vector<std::string> childEnvironment(const Subprocess::Environment& additions) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view variable(*entry);
    auto name = variable.substr(0, variable.find('='));
    bool replaced = false;
    for (const auto& [key, value] : additions) replaced = replaced || key == name;
    if (!replaced) result.emplace_back(variable);
  }
  for (const auto& [key, value] : additions) result.push_back(key + "=" + value);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void execChild(pid_t parent, int in, int out, int err, int report, char** argv,
                            char** envp) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(127);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
  ::execve(argv[0], argv, envp);
  int error = errno;
  [[maybe_unused]] auto written = ::write(report, &error, sizeof error);
  ::_exit(127);
}

Result<std::pair<UniqueFd, UniqueFd>, std::string> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(std::string("pipe2: ") + std::strerror(errno));
  return std::make_pair(UniqueFd(fds[0]), UniqueFd(fds[1]));
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

ExitStatus ExitStatus::fromWaitStatus(int status) {
  if (WIFEXITED(status)) return exitedWith(WEXITSTATUS(status));
  return killedBy(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::ostream& operator<<(std::ostream& out, const ExitStatus& status) {
  return status.exited ? out << "exit " << status.code : out << "signal " << status.signal;
}

Result<std::unique_ptr<Subprocess>, std::string> Subprocess::start(
    const std::vector<std::string>& argv, const Environment& environment) {
  if (argv.empty()) return fail(std::string("no program to start"));
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args = argv;
  std::vector<std::string> env = childEnvironment(environment);
  std::vector<char*> argvPointers = pointers(args);
  std::vector<char*> envPointers = pointers(env);

  auto in = makePipe();
  auto out = makePipe();
  auto err = makePipe();
  auto report = makePipe();
  for (auto* p : {&in, &out, &err, &report}) {
    if (!p->ok()) return fail(p->error());
  }
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) return fail(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    execChild(parent, in.value().first.get(), out.value().second.get(), err.value().second.get(),
              report.value().second.get(), argvPointers.data(), envPointers.data());
  }
  report.value().second.reset();
  int execError = 0;
  ssize_t n;
  do {
    n = ::read(report.value().first.get(), &execError, sizeof execError);
  } while (n < 0 && errno == EINTR);
  if (n == sizeof execError) {
    int ignored;
    ::waitpid(pid, &ignored, 0);
    return fail("cannot run " + argv[0] + ": " + std::strerror(execError));
  }
  for (int fd : {in.value().second.get(), out.value().first.get(), err.value().first.get()})
    setNonBlocking(fd);
  return std::unique_ptr<Subprocess>(new Subprocess(pid, std::move(in.value().second),
                                                    std::move(out.value().first),
                                                    std::move(err.value().first)));
}

Subprocess::Subprocess(pid_t pid, UniqueFd input, UniqueFd output, UniqueFd error)
    : pid_(pid), input_(std::move(input)) {
  output_.fd = std::move(output);
  error_.fd = std::move(error);
}

Subprocess::~Subprocess() { kill(); }

bool Subprocess::writeStdin(std::string_view bytes, std::chrono::milliseconds bound) {
  auto deadline = Clock::now() + bound;
  while (!bytes.empty()) {
    if (!input_) return false;
    ssize_t n = ::write(input_.get(), bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{input_.get(), POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(leftUntil(deadline).count())) == 0) return false;
  }
  return true;
}

void Subprocess::closeStdin() { input_.reset(); }

std::optional<std::size_t> Subprocess::writeStdinNow(std::string_view bytes) {
  std::size_t taken = 0;
  while (input_ && taken < bytes.size()) {
    ssize_t n = ::write(input_.get(), bytes.data() + taken, bytes.size() - taken);
    if (n > 0) {
      taken += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      return taken;
    } else if (n >= 0 || errno != EINTR) {
      return std::nullopt;
    }
  }
  if (!input_) return std::nullopt;
  return taken;
}

void Subprocess::closeStdout() {
  output_.fd.reset();
  output_.ended = true;
}

void Subprocess::fill(Pipe& pipe, std::chrono::milliseconds bound) {
  if (pipe.ended) return;
  pollfd p{pipe.fd.get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(bound.count())) <= 0) return;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(pipe.fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      pipe.unread.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      pipe.ended = n == 0 || errno != EAGAIN;
      return;
    }
  }
}

std::optional<std::string> Subprocess::readLine(Stream stream, std::chrono::milliseconds bound) {
  auto deadline = Clock::now() + bound;
  Pipe& p = pipe(stream);
  for (;;) {
    auto end = p.unread.find('\n');
    if (end != std::string::npos) {
      std::string line = p.unread.substr(0, end);
      p.unread.erase(0, end + 1);
      p.transcript += line + "\n";
      return line;
    }
    auto left = leftUntil(deadline);
    if (p.ended || left.count() == 0) return std::nullopt;
    fill(p, left);
  }
}

std::optional<std::string> Subprocess::waitForLine(
    Stream stream, const std::function<bool(std::string_view)>& matches,
    std::chrono::milliseconds bound) {
  auto deadline = Clock::now() + bound;
  for (;;) {
    auto line = readLine(stream, leftUntil(deadline));
    if (!line || matches(*line)) return line;
  }
}

std::optional<std::string> Subprocess::waitForLineContaining(Stream stream,
                                                             std::string_view fragment,
                                                             std::chrono::milliseconds bound) {
  return waitForLine(
      stream,
      [fragment](std::string_view line) { return line.find(fragment) != std::string_view::npos; },
      bound);
}

std::string Subprocess::transcript(Stream stream) {
  Pipe& p = pipe(stream);
  fill(p, std::chrono::milliseconds(0));
  return p.transcript + p.unread;
}

bool Subprocess::sendSignal(int signal) { return !status_ && ::kill(pid_, signal) == 0; }

std::optional<ExitStatus> Subprocess::waitForExit(std::chrono::milliseconds bound) {
  auto deadline = Clock::now() + bound;
  while (!status_) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = ExitStatus::fromWaitStatus(status);
    } else if (r < 0 && errno != EINTR) {
      return std::nullopt;
    } else if (leftUntil(deadline).count() == 0) {
      return std::nullopt;
    } else {
      // The child gives no descriptor to wait on; poll its state briefly.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return status_;
}

ExitStatus Subprocess::kill() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = ExitStatus::fromWaitStatus(status);
  }
  return *status_;
}

}  // namespace harlo::test_support
