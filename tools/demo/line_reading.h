// The harness's bounded line reads (line_reader.h) as the demo's Readings
// (stage.h), for the helper's output and the simulated clients.
#pragma once

#include <chrono>
#include <string>

#include "line_reader.h"
#include "stage.h"

namespace harlo::demo {

// `read` as a Reading: a line, the end (with what was left), or silence
// after waiting `bound`.
Reading readingOf(harness::LineRead read, std::chrono::milliseconds bound);

// A wait as a reading's silence text: "10 s", "0.5 s".
std::string formatWait(std::chrono::milliseconds bound);

}  // namespace harlo::demo
