// ClientLines: the client's bytes cut into lines, and what each line asks of
// the bridge.
//
// A pure core, the client side's counterpart of the parent side's framing
// and dispatch: bytes go in, actions come out, and it writes nothing and
// knows nothing of channels, threads or reports (RFCOMMBridge carries the
// actions out). Lines end at line feeds and hold at most maxLineBytes (a
// longer one is reported once, as soon as it is known, and skipped through
// its line feed); each is repaired to valid UTF-8, every maximal ill-formed
// subpart becoming U+FFFD; empty lines are skipped. A hello (hello_check.h)
// is told apart from other lines. Not thread-safe: the owner serialises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "text/line_framer.h"

namespace harlo {

class ClientLines final {
 public:
  // A line's text stays valid until the next call to append(), next() or
  // clear().
  struct Forward {
    std::string_view text;  // a line for the parent
  };
  struct AnswerHello {
    std::string_view text;  // a hello: answered, then forwarded like any line
  };
  struct Oversized {};  // a line past the limit was dropped
  using Action = std::variant<Forward, AnswerHello, Oversized>;

  ClientLines();

  void append(std::span<const std::uint8_t> bytes);

  // What the next complete line asks for, or nothing until more bytes come.
  std::optional<Action> next();

  // Drops every buffered byte, the unfinished line with them.
  void clear();

 private:
  LineFramer framer_;
  std::string repaired_;  // the last line, when it needed repair
};

}  // namespace harlo
