// Log: the helper's diagnostics, for whoever runs it.
//
// Standard output and standard error carry only what the parent relies on;
// why a start failed, which device connected and why a client went are told
// here instead, one line per event, each naming what it is about. Never the
// contents of a payload or of a line (they are the user's data), and nothing
// per message: a flood of messages adds no line. The program's log is the
// system log (app/system_log.h); tests record the lines instead.
//
// A log never makes its caller wait for whoever reads it: a log that cannot
// take a line drops it (and says how many it dropped, once it can).
//
// Thread safety: write() and flush() may be called from any thread.
#pragma once

#include <chrono>
#include <string_view>

namespace harlo {

class Log {
 public:
  enum class Level {
    error,    // something failed, with its cause
    warning,  // something refused or lost
    notice,   // the helper's life: start, service lost and back, stop, exit
    info,     // a client connected or left
  };

  virtual ~Log() = default;

  // One line, without a line feed.
  virtual void write(Level level, std::string_view line) = 0;

  // Waits until the lines written so far have reached the log, or `bound`
  // has passed, for a process about to end at once. A log that writes each
  // line as it is given returns at once.
  virtual void flush(std::chrono::milliseconds /*bound*/) {}
};

// How long a log may take to send what it holds before the line that ends
// a mode is written to standard error, so that a copy of the log there comes
// before it.
inline constexpr std::chrono::milliseconds logFlushBeforeEnd{100};

}  // namespace harlo
