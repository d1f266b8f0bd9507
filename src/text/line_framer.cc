#include "text/line_framer.h"

namespace harlo {

LineFramer::LineFramer(std::size_t maxLineBytes) : maxLineBytes_(maxLineBytes) {}

void LineFramer::append(std::string_view bytes) {
  compact();
  buffer_.append(bytes);
}

std::optional<LineFramer::Line> LineFramer::next() {
  if (discarding_) {
    const std::size_t feed = buffer_.find('\n', offset_);
    if (feed == std::string::npos) {
      clear();
      discarding_ = true;
      return std::nullopt;
    }
    offset_ = feed + 1;
    scanned_ = 0;
    discarding_ = false;
  }

  const std::size_t feed = buffer_.find('\n', offset_ + scanned_);
  if (feed == std::string::npos) {
    const std::size_t pending = buffer_.size() - offset_;
    if (pending > maxLineBytes_) {
      clear();
      discarding_ = true;
      return Line{{}, true};
    }
    scanned_ = pending;
    return std::nullopt;
  }

  const std::size_t start = offset_;
  offset_ = feed + 1;
  scanned_ = 0;
  if (feed - start > maxLineBytes_) {
    return Line{{}, true};
  }
  return Line{std::string_view(buffer_).substr(start, feed - start), false};
}

bool LineFramer::hasPartialLine() const { return !discarding_ && buffer_.size() > offset_; }

void LineFramer::clear() {
  buffer_.clear();
  offset_ = 0;
  scanned_ = 0;
  discarding_ = false;
}

void LineFramer::compact() {
  if (offset_ == 0) return;
  buffer_.erase(0, offset_);
  offset_ = 0;
}

}  // namespace harlo
