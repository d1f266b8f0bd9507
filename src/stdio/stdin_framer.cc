#include "stdio/stdin_framer.h"

#include <utility>

#include "text/utf8.h"

namespace harlo {

StdinFramer::StdinFramer(std::size_t maxLineBytes) : lines_(maxLineBytes) {}

void StdinFramer::append(std::string_view chunk) { lines_.append(chunk); }

std::optional<StdinLine> StdinFramer::next() {
  std::optional<LineFramer::Line> line = lines_.next();
  if (!line) return std::nullopt;
  if (line->oversized) return StdinLine{StdinLine::Status::oversized, {}};
  if (!isValidUTF8(line->bytes)) return StdinLine{StdinLine::Status::invalidUTF8, {}};
  return StdinLine{StdinLine::Status::ok, line->bytes};
}

bool StdinFramer::hasPartialLine() const { return lines_.hasPartialLine(); }

}  // namespace harlo
