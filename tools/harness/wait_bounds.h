// How long the harness waits for something that should happen promptly (a
// process starting, a line arriving, a process exiting) before it gives up
// and lets its caller fail. Generous, so that a slow machine or a
// sanitizer build never fails a correct test; a wait that runs out means
// something did not happen at all.
#pragma once

#include <chrono>

namespace harlo::harness {

inline constexpr std::chrono::milliseconds defaultWait{10000};

}  // namespace harlo::harness
