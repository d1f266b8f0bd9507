// playScript: plays the demo's script on a stage, printing every message and
// outcome as it happens, each line labelled with its direction:
//
//   parent -> helper: {"kind":"command","command":"ping",...}
//   helper -> parent: {"kind":"event","event":"pong",...}
//   client -> helper: (client 1) {"type":"hello","version":1}
//   helper -> client: (client 1) {"type":"hello_ack",...}
//
// A client that connected over Bluetooth LE is labelled "(LE client N)".
//
// It stops at the first step whose outcome is not the one expected and
// returns what it expected and what it saw; the steps after it are not
// played. Runs on the caller's thread; `stage` and `transcript` are used only
// during the call.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "base/result.h"
#include "demo_script.h"
#include "stage.h"

namespace harlo::demo {

// The first step that did not go as the script expects.
struct Mismatch {
  std::string step;  // the step, as labelled in the transcript
  std::string expected;
  std::string saw;

  bool operator==(const Mismatch&) const = default;
};

Result<void, Mismatch> playScript(const std::vector<Step>& script, Stage& stage,
                                  std::ostream& transcript);

// One registration in one line: its Name option in quotes (or "(no Name)";
// the key matched case-insensitively, the last one counting), its UUID and
// where it listens, e.g.
//   "Harlo Unicode Companion" d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10, listening 1
std::string describeRegistration(const RecordedProfile& profile);

// The failure report: the step, what was expected, what was seen, then the
// helper's and the simulator's standard error.
std::string formatFailure(const Mismatch& mismatch, const std::string& helperErrors,
                          const std::string& simErrors);

}  // namespace harlo::demo
