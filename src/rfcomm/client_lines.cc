#include "rfcomm/client_lines.h"

#include "rfcomm/hello_check.h"
#include "text/line_limit.h"
#include "text/utf8.h"

namespace harlo {

ClientLines::ClientLines() : framer_(maxLineBytes) {}

void ClientLines::append(std::span<const std::uint8_t> bytes) {
  framer_.append(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<ClientLines::Action> ClientLines::next() {
  for (;;) {
    const std::optional<LineFramer::Line> line = framer_.next();
    if (!line) return std::nullopt;
    if (line->oversized) return Oversized{};
    if (line->bytes.empty()) continue;
    // Nearly every line is valid already; only the others are copied to be
    // repaired.
    std::string_view text = line->bytes;
    if (!isValidUTF8(text)) {
      repaired_ = repairUTF8(text);
      text = repaired_;
    }
    if (isHelloLine(text)) return AnswerHello{text};
    return Forward{text};
  }
}

void ClientLines::clear() { framer_.clear(); }

}  // namespace harlo
