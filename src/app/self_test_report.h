// The self-test report ("--self-test"): four fixed lines describing what the
// helper contains. Nothing is probed, and Bluetooth is not touched.
#pragma once

#include <cstdio>

namespace harlo {

// Writes the report to `out` (buffered; flushed when the process exits) and
// returns 0. The report has no failure path.
int runSelfTest(std::FILE* out);

}  // namespace harlo
