// LineFramer: cuts a byte stream into lines at line feeds (0x0A), with a bound
// on the length of a line.
//
// Bytes go in with append() in chunks of any size; complete lines come out of
// next() one at a time, in order, without their line feed. A line longer than
// the bound is reported once, as soon as it is known to be too long, and its
// bytes are discarded through its next line feed, so the framer never holds
// more than the bound plus one chunk. Empty lines are returned like any other:
// the caller decides what they mean. Not thread-safe: the owner serialises.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace harlo {

class LineFramer final {
 public:
  // A line's bytes are viewed in the framer's buffer: they stay valid until
  // the next call to append(), next() or clear(), and are not for keeping.
  struct Line {
    std::string_view bytes;  // without the line feed; empty when oversized
    bool oversized = false;  // the line exceeded the bound and was discarded
  };

  explicit LineFramer(std::size_t maxLineBytes);

  void append(std::string_view bytes);

  // The next complete line, or an oversized report, or nothing when the
  // buffered bytes hold no further line feed.
  std::optional<Line> next();

  // True when bytes of an unfinished line are buffered (not counting the
  // discarded bytes of an oversized line).
  bool hasPartialLine() const;

  // Drops every buffered byte and any oversized line in progress.
  void clear();

 private:
  void compact();

  const std::size_t maxLineBytes_;
  std::string buffer_;       // unconsumed bytes start at offset_
  std::size_t offset_ = 0;   // bytes before this are consumed
  std::size_t scanned_ = 0;  // bytes from offset_ already known to hold no line feed
  bool discarding_ = false;  // inside an oversized line, dropping through its line feed
};

}  // namespace harlo
