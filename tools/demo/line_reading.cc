#include "line_reading.h"

#include <sstream>
#include <utility>

namespace harlo::demo {

Reading readingOf(harness::LineRead read, std::chrono::milliseconds bound) {
  switch (read.kind) {
    case harness::LineRead::Kind::line:
      return Reading::lineOf(std::move(read.text));
    case harness::LineRead::Kind::end:
      return Reading::endAfter(std::move(read.text));
    case harness::LineRead::Kind::silence:
      break;
  }
  return Reading::silenceFor(formatWait(bound));
}

std::string formatWait(std::chrono::milliseconds bound) {
  std::ostringstream text;
  text << std::chrono::duration<double>(bound).count() << " s";
  return text.str();
}

}  // namespace harlo::demo
