// The bounded line reader: lines from a socket or pipe, each wait bounded, so
// that a program reading a peer's output never hangs on a peer that stays
// silent. Works on blocking and non-blocking descriptors alike.
//
//   LineReader lines(fd);                        // reads ahead in blocks
//   LineRead next = lines.next(defaultWait);     // a line, the end, or silence
//   auto line = readLineWithin(client.get());    // one line, nothing past it
//
// LineReader reads ahead and keeps what it received past the last line for
// the next call: one reader per descriptor, and nothing else reads that
// descriptor. readLineWithin reads a byte at a time and so takes nothing past
// the line feed: for a descriptor that is then read by other means too.
//
// A LineReader does not own its descriptor. Not thread-safe: one thread uses
// a reader at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "wait_bounds.h"

namespace harlo::harness {

// What one bounded read of a line produced.
struct LineRead {
  enum class Kind {
    line,     // `text` is a whole line, without its line feed
    end,      // the input ended (or failed); `text` holds bytes left without a line feed
    silence,  // nothing complete arrived in time; `text` is empty
  };
  Kind kind = Kind::silence;
  std::string text;

  // The line, or nothing at the end or on silence.
  std::optional<std::string> line() && {
    if (kind != Kind::line) return std::nullopt;
    return std::move(text);
  }
  bool operator==(const LineRead&) const = default;
};

class LineReader final {
 public:
  enum class ReadAhead { blocks, none };

  // Reads `fd`; a negative `fd` is a reader whose input has already ended.
  // ReadAhead::none reads a byte at a time, leaving whatever follows a line
  // in the descriptor.
  explicit LineReader(int fd, ReadAhead readAhead = ReadAhead::blocks)
      : fd_(fd), readAhead_(readAhead), ended_(fd < 0) {}

  // The next line. At the end of the input the result holds what was left
  // without a line feed, which is then gone (later calls return an empty
  // end); when nothing complete comes within `bound`, silence, with what
  // arrived kept for the next call.
  LineRead next(std::chrono::milliseconds bound = defaultWait);

  // Consumes `count` lines; false if the input ends or `bound` passes first
  // (ended() tells which).
  bool skipLines(std::size_t count, std::chrono::milliseconds bound = defaultWait);

  // Reads to the end of the input and discards everything; the count of
  // bytes discarded (what was unread included), or nothing if the end did
  // not come within `bound`.
  std::optional<std::size_t> drainToEnd(std::chrono::milliseconds bound = defaultWait);

  // Takes in what arrives within `bound` (one read); the count of bytes
  // added, 0 on silence or at the end.
  std::size_t fill(std::chrono::milliseconds bound);

  // Bytes received and not yet returned as part of a line.
  const std::string& unread() const { return unread_; }
  // True once the input has ended.
  bool ended() const { return ended_; }

 private:
  std::size_t fillBefore(std::chrono::steady_clock::time_point deadline);

  int fd_;
  ReadAhead readAhead_;
  bool ended_;
  std::string unread_;
};

// One line from `fd` without its line feed, reading nothing past it; nothing
// at the end of the input, on an error, or when `bound` passes first.
std::optional<std::string> readLineWithin(int fd, std::chrono::milliseconds bound = defaultWait);

}  // namespace harlo::harness
