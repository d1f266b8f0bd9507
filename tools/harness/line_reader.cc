#include "line_reader.h"

#include <cerrno>
#include <utility>

#include "bounded_io.h"

namespace harlo::harness {
namespace {

// What one read asks for when reading ahead.
constexpr std::size_t blockBytes = 65536;

}  // namespace

LineRead LineReader::next(std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  std::size_t searched = 0;
  for (;;) {
    const std::size_t feed = unread_.find('\n', searched);
    if (feed != std::string::npos) {
      std::string line = unread_.substr(0, feed);
      unread_.erase(0, feed + 1);
      return {LineRead::Kind::line, std::move(line)};
    }
    searched = unread_.size();
    if (fillBefore(deadline) > 0) continue;
    if (ended_) return {LineRead::Kind::end, std::exchange(unread_, {})};
    return {LineRead::Kind::silence, {}};
  }
}

bool LineReader::skipLines(std::size_t count, std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  for (;;) {
    std::size_t begin = 0;
    while (count > 0) {
      const std::size_t feed = unread_.find('\n', begin);
      if (feed == std::string::npos) break;
      begin = feed + 1;
      --count;
    }
    unread_.erase(0, begin);
    if (count == 0) return true;
    if (fillBefore(deadline) == 0) return false;
  }
}

std::optional<std::size_t> LineReader::drainToEnd(std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  std::size_t drained = 0;
  for (;;) {
    drained += std::exchange(unread_, {}).size();
    if (ended_) return drained;
    if (fillBefore(deadline) == 0 && !ended_) return std::nullopt;
  }
}

std::size_t LineReader::fill(std::chrono::milliseconds bound) {
  return fillBefore(Clock::now() + bound);
}

std::size_t LineReader::fillBefore(Clock::time_point deadline) {
  if (ended_) return 0;
  const std::size_t want = readAhead_ == ReadAhead::blocks ? blockBytes : 1;
  const ssize_t got = readSomeBefore(fd_, unread_, want, deadline);
  if (got > 0) return static_cast<std::size_t>(got);
  // An error ends the input as surely as its end does; only running out of
  // time leaves it open.
  ended_ = got == 0 || errno != ETIMEDOUT;
  return 0;
}

std::optional<std::string> readLineWithin(int fd, std::chrono::milliseconds bound) {
  return LineReader(fd, LineReader::ReadAhead::none).next(bound).line();
}

}  // namespace harlo::harness
