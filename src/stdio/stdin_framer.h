// StdinFramer: turns the chunks read from the parent's standard input into
// checked lines.
//
// Input is framed as bytes at line feeds, so a multi-byte character that two
// reads split between them is joined again before anything looks at it. Each
// complete line is then checked as UTF-8 on its own: a bad line is reported
// as such and only that line is lost. A line longer than the bound is
// reported once and its bytes are dropped through its next line feed, so the
// parent cannot make the helper buffer without limit.
//
// Not thread-safe: the stdin reader thread owns it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "text/line_framer.h"
#include "text/line_limit.h"

namespace harlo {

struct StdinLine {
  enum class Status {
    ok,           // `text` holds the line, valid UTF-8, without its line feed
    invalidUTF8,  // the line was not valid UTF-8 and is dropped
    oversized,    // the line exceeded the bound and is being dropped
  };
  Status status = Status::ok;
  // Empty unless status is ok (an empty line is ok too). Viewed in the
  // framer's buffer: valid until the framer's next append() or next().
  std::string_view text;
};

class StdinFramer final {
 public:
  explicit StdinFramer(std::size_t maxLineBytes = harlo::maxLineBytes);

  // Adds the bytes of one read, of any length.
  void append(std::string_view chunk);

  // The next line of the bytes appended so far, in input order, or nothing
  // until more bytes arrive. An oversized line is reported as soon as it is
  // known to be too long, before its line feed has arrived.
  std::optional<StdinLine> next();

  // True when bytes of an unfinished line are waiting for their line feed.
  // The dropped bytes of an oversized line do not count.
  bool hasPartialLine() const;

 private:
  LineFramer lines_;
};

}  // namespace harlo
