// The system log as the helper's Log: syslog(3) with the ident
// "HarloCompanionHelper" and the process id, facility user, so that
// `journalctl -t HarloCompanionHelper` (or the syslog file where there is no
// journal) shows what the helper logged. Where no log daemon listens, the
// lines are dropped: standard error is never used instead.
//
// syslog(3) waits for the log socket, and a log daemon that stops reading
// (journald busy or restarting, a hung syslog daemon) would hold the caller
// for as long as it stalls. So the calls are made by a thread of the log's
// own ("harlo-log") from a short queue: write() only queues, and a line that
// finds the queue full is dropped and counted. Once the log takes lines
// again, "N log lines dropped" is logged where they went missing.
//
// Where there is no system log to read, each line can also be copied to a
// descriptor (standard error, for HARLO_LOG_STDERR=1) as
// "log <priority>: <line>", the priority as syslog names it (err, warning,
// notice, info); the same thread writes it, just before the syslog() call.
#pragma once

#include <chrono>
#include <memory>
#include <thread>

#include "base/log.h"

namespace harlo {

class SystemLog final : public Log {
 public:
  // Lines the queue holds while the log takes none.
  static constexpr std::size_t queuedLines = 16;

  // Starts the log's thread, which opens the connection to the system log on
  // its first line, and copies every line to `copyFd` unless it is -1 (the
  // descriptor is not owned and must stay open). Without a thread (none could
  // be started) every line is dropped.
  explicit SystemLog(int copyFd = -1);
  // Gives the queue a short while to reach the log, then leaves; a thread
  // still held by the log is left to the process's exit.
  ~SystemLog() override;
  SystemLog(const SystemLog&) = delete;
  SystemLog& operator=(const SystemLog&) = delete;

  void write(Level level, std::string_view line) override;
  void flush(std::chrono::milliseconds bound) override;

 private:
  struct Queue;
  static void run(const std::shared_ptr<Queue>& queue, int copyFd);

  // Shared with the thread, which may outlive the log.
  std::shared_ptr<Queue> queue_;
  std::thread thread_;
};

}  // namespace harlo
