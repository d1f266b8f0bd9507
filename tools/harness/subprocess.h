// Subprocess: a child program with its standard input, output and error on
// pipes, for process-level tests, the demo and the benchmark driver.
//
//   auto child = Subprocess::start({helperPath, "--stdio"}, bus->environment());
//   ASSERT_TRUE(child.ok()) << child.error();
//   Subprocess& helper = *child.value();
//   ASSERT_TRUE(helper.writeStdin("{\"kind\":\"command\",...}\n"));
//   auto line = helper.readLine(Subprocess::Stream::out);   // bounded wait
//   ASSERT_TRUE(line) << helper.transcript(Subprocess::Stream::err);
//   helper.closeStdin();
//   EXPECT_EQ(helper.waitForExit(), ExitStatus::exitedWith(0));
//
// Every wait is bounded (defaultWait unless given) and reports running out
// as an empty result, so a caller fails instead of hanging. The destructor
// kills (SIGKILL) and reaps a child still running, so every process a caller
// starts is ended, whatever its outcome. The child also gets SIGKILL if the
// thread that started it ends first, so start children from a thread that
// outlives them.
//
// Starting a child makes the calling process ignore SIGPIPE, so that writing
// to a child that has gone is an error, not the end of the caller; the child
// gets default signal handling and an empty signal mask.
//
// Not thread-safe: one thread uses a Subprocess at a time, except that the
// standard-input calls (writeStdin, writeStdinNow, closeStdin) may be made
// from one other thread while the owner reads the output.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"
#include "line_reader.h"
#include "unique_fd.h"
#include "wait_bounds.h"

namespace harlo::harness {

// How a child ended.
struct ExitStatus {
  bool exited = false;  // exited with `code`, else killed by `signal`
  int code = 0;
  int signal = 0;

  static ExitStatus exitedWith(int code) { return {true, code, 0}; }
  static ExitStatus killedBy(int signal) { return {false, 0, signal}; }
  static ExitStatus fromWaitStatus(int status);
  bool operator==(const ExitStatus&) const = default;
};

// Printed as "exit 0" or "signal 9" in test failure messages.
std::ostream& operator<<(std::ostream& out, const ExitStatus& status);

class Subprocess final {
 public:
  // Variables added to (or replacing those of) the test's own environment.
  using Environment = std::vector<std::pair<std::string, std::string>>;
  enum class Stream { out, err };

  // Starts argv[0] (a path; PATH is not searched) with `argv`. Fails if the
  // program cannot be run, with the reason.
  static Result<std::unique_ptr<Subprocess>, std::string> start(
      const std::vector<std::string>& argv, const Environment& environment = {});

  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes all of `bytes` to the child's standard input; false if the child
  // does not take them within `bound` or its input is closed.
  bool writeStdin(std::string_view bytes, std::chrono::milliseconds bound = defaultWait);

  // Closes the child's standard input: it reads end of file.
  void closeStdin();

  // Writes as much of `bytes` as the child's standard input takes now,
  // without waiting: the count taken (0 while the pipe is full), or nothing
  // if the input is closed or broken.
  std::optional<std::size_t> writeStdinNow(std::string_view bytes);

  // Closes the test's end of the child's standard output, as a parent that
  // goes away would: the child's next write there fails with EPIPE. Lines
  // not read yet are lost; readLine on the stream returns nothing.
  void closeStdout();

  // The next line of `stream` without its line feed; nothing if none is
  // complete within `bound` or the stream has ended.
  std::optional<std::string> readLine(Stream stream, std::chrono::milliseconds bound = defaultWait);

  // The next line of `stream`, or why there is none (see LineReader::next).
  LineRead read(Stream stream, std::chrono::milliseconds bound = defaultWait);

  // Consumes `count` lines of `stream` without keeping them in the
  // transcript; false if the stream ends or `bound` passes first.
  bool skipLines(Stream stream, std::size_t count, std::chrono::milliseconds bound = defaultWait);

  // Reads `stream` to its end without keeping it; the count of bytes read
  // (and not read as lines before), or nothing if it did not end in time.
  std::optional<std::size_t> drainToEnd(Stream stream,
                                        std::chrono::milliseconds bound = defaultWait);

  // Reads lines of `stream` until one satisfies `matches` and returns it; the
  // lines skipped stay in the transcript. Nothing on timeout or end.
  std::optional<std::string> waitForLine(Stream stream,
                                         const std::function<bool(std::string_view)>& matches,
                                         std::chrono::milliseconds bound = defaultWait);
  std::optional<std::string> waitForLineContaining(Stream stream, std::string_view fragment,
                                                   std::chrono::milliseconds bound = defaultWait);

  // Every line read from `stream` so far, then whatever has arrived and not
  // been read yet: for failure messages.
  std::string transcript(Stream stream);

  // Sends `signal` to a child still running; false once it has been reaped.
  bool sendSignal(int signal);

  // Reaps the child if it ends within `bound`; its status, or nothing if it
  // is still running. Once reaped, returns the same status at once. The wait
  // is on a process descriptor, so it ends as soon as the child does.
  std::optional<ExitStatus> waitForExit(std::chrono::milliseconds bound = defaultWait);

  // The user and system time the child used, all its threads included, once
  // it has been reaped; nothing before.
  std::optional<rusage> resourceUsage() const;

  // Kills the child (SIGKILL) if it is still running and reaps it.
  ExitStatus kill();

 private:
  struct Pipe {
    explicit Pipe(UniqueFd end) : fd(std::move(end)), lines(fd.get()) {}
    UniqueFd fd;
    LineReader lines;
    std::string transcript;  // the lines read so far, each with its line feed
  };

  Subprocess(pid_t pid, UniqueFd process, UniqueFd input, UniqueFd output, UniqueFd error);
  Pipe& pipe(Stream stream) { return stream == Stream::out ? output_ : error_; }
  // Reaps the child, which has ended or is about to, with its resource
  // usage; false if it cannot be reaped.
  bool reap();

  pid_t pid_;
  UniqueFd process_;  // the pidfd: readable once the child has ended
  std::optional<ExitStatus> status_;
  rusage usage_{};  // valid once status_ is set
  UniqueFd input_;
  Pipe output_;
  Pipe error_;
};

}  // namespace harlo::harness
