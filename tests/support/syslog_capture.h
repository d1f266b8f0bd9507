// SyslogCapture: what a program started by the test writes to the system log
// with syslog(3), read back by the test, without touching the machine's own
// /dev/log (there may be none, or a journal that other programs share).
//
// glibc's syslog() sends each line as one datagram to the fixed path
// /dev/log. The capture owns a datagram socket in a fresh temporary folder
// and starts the program in a mount namespace of its own (unshare(1)) where
// /dev is a small tmpfs holding the devices a program may open (null, zero,
// random, urandom), fd, and log: a link to the capture's socket. Nothing
// outside that namespace changes, and the namespace ends with the program.
// As root, a mount namespace is enough; otherwise a user namespace mapping
// the caller to root is tried. Where neither can be made, create() says why,
// and a test skips.
//
//   auto capture = SyslogCapture::create();
//   if (!capture && capture.error().unavailable) GTEST_SKIP() << capture.error().reason;
//   ASSERT_TRUE(capture.ok()) << capture.error().reason;
//   auto helper = capture.value()->start({HARLO_HELPER_PATH, "--stdio"}, bus->environment());
//   ...
//   for (const SyslogLine& line : capture.value()->takeLines()) ...
//
// A thread of the capture's own receives the datagrams as they come, so a
// program never waits on a full socket queue (the kernel keeps only
// net.unix.max_dgram_qlen datagrams, 10 by default). Every wait is bounded.
// The capture must outlive the programs it started; its destructor stops the
// thread and removes the folder. One thread uses the capture at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "harness_names.h"

namespace harlo::test_support {

// One datagram as glibc writes it: "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE".
struct SyslogLine {
  int severity = -1;  // LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO, ...; -1 if unreadable
  int facility = -1;  // LOG_USER, ... (as <syslog.h> defines them, shifted)
  std::string ident;
  pid_t pid = 0;
  std::string message;  // the whole datagram when it could not be read
  bool operator==(const SyslogLine&) const = default;
};

// "<severity> message" (and the pid), for failure messages.
std::ostream& operator<<(std::ostream& out, const SyslogLine& line);

// Reads one datagram; one that has not that shape gives severity -1.
SyslogLine parseSyslogDatagram(std::string_view datagram);

class SyslogCapture final {
 public:
  struct Failure {
    bool unavailable = false;  // no namespace can be made here: skip, don't fail
    std::string reason;
  };

  // Binds the socket, starts the receiving thread, and finds a way to make
  // the namespace by starting /bin/true in it.
  static Result<std::unique_ptr<SyslogCapture>, Failure> create();

  ~SyslogCapture();
  SyslogCapture(const SyslogCapture&) = delete;
  SyslogCapture& operator=(const SyslogCapture&) = delete;

  // Starts argv[0] (a path) with `argv` and `environment` as Subprocess does,
  // in a namespace whose /dev/log is this capture. Its pid is the program's
  // own: the namespace is set up by a shell that then execs the program.
  // Fails if it cannot be started, with the reason; a namespace that cannot
  // be set up shows as exit status 1 with unshare's or mount's reason on
  // standard error.
  Result<std::unique_ptr<Subprocess>, std::string> start(
      const std::vector<std::string>& argv, const Subprocess::Environment& environment = {}) const;

  // Stops (false) or resumes (true) taking datagrams, as a log daemon that
  // hangs and recovers does: once the socket's queue is full, a program's
  // syslog() blocks. takeLines() needs the capture reading.
  void setReading(bool reading);

  // Every line sent before this call and not taken yet, in the order sent
  // (each sender's lines in its own order). Empty, with a failure message in
  // `*problem`, if the capture's thread did not catch up within `bound`.
  std::vector<SyslogLine> takeLines(std::string* problem = nullptr,
                                    std::chrono::milliseconds bound = defaultWait);

 private:
  SyslogCapture(std::unique_ptr<TempDir> folder, UniqueFd socket, UniqueFd stop);
  void receive();
  // Sends a marker datagram through the socket queue and waits until the
  // thread has received it: all sent before it have been received then.
  bool catchUp(std::chrono::milliseconds bound);

  std::unique_ptr<TempDir> folder_;
  UniqueFd socket_;
  UniqueFd stop_;                     // an eventfd: readable once the thread must end
  std::vector<std::string> unshare_;  // the unshare command that works here
  std::mutex mutex_;
  std::condition_variable received_;
  std::vector<SyslogLine> lines_;      // guarded by mutex_: received, not taken
  bool reading_ = true;                // guarded by mutex_
  bool ending_ = false;                // guarded by mutex_
  std::uint64_t markersSent_ = 0;      // guarded by mutex_
  std::uint64_t markersReceived_ = 0;  // guarded by mutex_
  std::thread thread_;                 // started last, joined first
};

}  // namespace harlo::test_support
