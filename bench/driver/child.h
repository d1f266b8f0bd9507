// The measured program as a child process of the harness (tools/harness's
// Subprocess), with the driver's way of failing: every call below throws
// std::runtime_error when the child does not do its part within the bound,
// and the driver stops at the first one. One thread uses a child, except
// that writeInput may run on another while the owner reads the output.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "subprocess.h"

namespace harlo::bench {

using harness::ExitStatus;
using harness::Subprocess;

struct ChildExit {
  ExitStatus status;
  rusage usage{};  // the child's own user and system time, all threads included
};

// Starts argv[0] (a path) with the driver's environment plus `environment`.
std::unique_ptr<Subprocess> startChild(const std::vector<std::string>& argv,
                                       const Subprocess::Environment& environment = {});

// Writes all of `bytes` to the child's standard input.
void writeInput(Subprocess& child, std::string_view bytes, std::chrono::milliseconds bound);

// The next standard-output line without its line feed.
std::string nextLine(Subprocess& child, std::chrono::milliseconds bound);

// Reads standard output until `count` more lines have come.
void skipLines(Subprocess& child, std::size_t count, std::chrono::milliseconds bound);

// Reads standard output to its end; the count of bytes read.
std::size_t drainToEnd(Subprocess& child, std::chrono::milliseconds bound);

// Reaps the child.
ChildExit waitForExit(Subprocess& child, std::chrono::milliseconds bound);

}  // namespace harlo::bench
