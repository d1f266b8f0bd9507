#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>

#include "bounded_io.h"

namespace harlo::harness {
namespace {

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
  UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!process) {
    const int error = errno;
    ::kill(pid, SIGKILL);
    int ignored;
    ::waitpid(pid, &ignored, 0);
    return fail(std::string("pidfd_open: ") + std::strerror(error));
  }
  for (int fd : {in.value().second.get(), out.value().first.get(), err.value().first.get()})
    setNonBlocking(fd);
  return std::unique_ptr<Subprocess>(
      new Subprocess(pid, std::move(process), std::move(in.value().second),
                     std::move(out.value().first), std::move(err.value().first)));
}

Subprocess::Subprocess(pid_t pid, UniqueFd process, UniqueFd input, UniqueFd output, UniqueFd error)
    : pid_(pid),
      process_(std::move(process)),
      input_(std::move(input)),
      output_(std::move(output)),
      error_(std::move(error)) {}

Subprocess::~Subprocess() { kill(); }

bool Subprocess::writeStdin(std::string_view bytes, std::chrono::milliseconds bound) {
  return input_ && writeWithin(input_.get(), bytes, bound);
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
  output_.lines = LineReader(-1);
}

std::optional<std::string> Subprocess::readLine(Stream stream, std::chrono::milliseconds bound) {
  return read(stream, bound).line();
}

LineRead Subprocess::read(Stream stream, std::chrono::milliseconds bound) {
  Pipe& p = pipe(stream);
  LineRead next = p.lines.next(bound);
  if (next.kind == LineRead::Kind::line) p.transcript += next.text + "\n";
  if (next.kind == LineRead::Kind::end) p.transcript += next.text;
  return next;
}

bool Subprocess::skipLines(Stream stream, std::size_t count, std::chrono::milliseconds bound) {
  return pipe(stream).lines.skipLines(count, bound);
}

std::optional<std::size_t> Subprocess::drainToEnd(Stream stream, std::chrono::milliseconds bound) {
  return pipe(stream).lines.drainToEnd(bound);
}

std::optional<std::string> Subprocess::waitForLine(
    Stream stream, const std::function<bool(std::string_view)>& matches,
    std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    auto line = readLine(stream, std::max(left, std::chrono::milliseconds(0)));
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
  while (p.lines.fill(std::chrono::milliseconds(0)) > 0) {
  }
  return p.transcript + p.lines.unread();
}

bool Subprocess::sendSignal(int signal) { return !status_ && ::kill(pid_, signal) == 0; }

std::optional<ExitStatus> Subprocess::waitForExit(std::chrono::milliseconds bound) {
  if (!status_ && waitUntilReady(process_.get(), POLLIN, Clock::now() + bound)) reap();
  return status_;
}

std::optional<rusage> Subprocess::resourceUsage() const {
  if (!status_) return std::nullopt;
  return usage_;
}

ExitStatus Subprocess::kill() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    // Reaped elsewhere already: it is gone all the same.
    if (!reap()) status_ = ExitStatus::killedBy(SIGKILL);
  }
  return *status_;
}

bool Subprocess::reap() {
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::wait4(pid_, &status, 0, &usage_);
  } while (reaped < 0 && errno == EINTR);
  if (reaped != pid_) return false;
  status_ = ExitStatus::fromWaitStatus(status);
  return true;
}

}  // namespace harlo::harness
