#include "child.h"

#include <sstream>
#include <stdexcept>

namespace harlo::bench {

std::unique_ptr<Subprocess> startChild(const std::vector<std::string>& argv,
                                       const Subprocess::Environment& environment) {
  auto child = Subprocess::start(argv, environment);
  if (!child) throw std::runtime_error(child.error());
  return std::move(child).value();
}

void writeInput(Subprocess& child, std::string_view bytes, std::chrono::milliseconds bound) {
  if (!child.writeStdin(bytes, bound)) {
    throw std::runtime_error("the child did not take its standard input");
  }
}

std::string nextLine(Subprocess& child, std::chrono::milliseconds bound) {
  harness::LineRead read = child.read(Subprocess::Stream::out, bound);
  if (read.kind == harness::LineRead::Kind::end) {
    throw std::runtime_error("the child's output ended");
  }
  if (read.kind == harness::LineRead::Kind::silence) {
    throw std::runtime_error("timed out reading the child's output");
  }
  return std::move(read.text);
}

void skipLines(Subprocess& child, std::size_t count, std::chrono::milliseconds bound) {
  if (!child.skipLines(Subprocess::Stream::out, count, bound)) {
    throw std::runtime_error("the child's output did not give " + std::to_string(count) +
                             " lines in time");
  }
}

std::size_t drainToEnd(Subprocess& child, std::chrono::milliseconds bound) {
  const auto drained = child.drainToEnd(Subprocess::Stream::out, bound);
  if (!drained) throw std::runtime_error("the child's output did not end");
  return *drained;
}

ChildExit waitForExit(Subprocess& child, std::chrono::milliseconds bound) {
  const auto status = child.waitForExit(bound);
  if (!status) throw std::runtime_error("the child did not exit");
  return {*status, *child.resourceUsage()};
}

}  // namespace harlo::bench
