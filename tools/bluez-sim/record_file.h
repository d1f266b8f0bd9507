// The record file: what the simulator has registered, as text a test can
// read back and compare.
//
// The simulator rewrites the whole file after every change (a registration
// made or removed, an owner gone, shutdown), replacing it atomically, and
// writes it before replying to the call that caused the change: a test that
// got the reply reads the new state. Its form:
//
//   bluez-sim registrations <count>
//   profile <object path>                      } once per registration,
//   owner <unique bus name>                    } in registration order
//   uuid <UUID as given>
//   listening <channel> | auto | none
//   option <key> <D-Bus type> <value>          one per option, as received
//   record <byte count>                        only with a ServiceRecord taken,
//   <the XML, byte for byte>                   followed by one line feed
//   end
//
// Keys and values are written as in ProfileOption. Text fields escape '\' as
// "\\", line feed, carriage return and tab as "\n", "\r", "\t", other control
// bytes as "\xNN"; a key also escapes a space as "\x20". Pure functions;
// safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "profile_registry.h"

namespace harlo::bluez_sim {

struct RecordedProfile {
  std::string path;
  std::string owner;
  std::string uuid;
  std::string listening;  // the channel in decimal, "auto" or "none"
  std::vector<ProfileOption> options;
  std::optional<std::string> record;

  bool operator==(const RecordedProfile&) const = default;
};

RecordedProfile recordOf(const Registration& registration);

std::string formatRecordFile(const std::vector<RecordedProfile>& profiles);

// Reads text written by formatRecordFile; the error names the bad line.
Result<std::vector<RecordedProfile>, std::string> parseRecordFile(std::string_view text);

// Writes `contents` to `path` through a temporary file in the same folder
// and a rename, so that a reader sees the old file or the new one, never a
// part. The error carries the failing call and its errno text.
Result<void, std::string> writeFileAtomically(const std::string& path, std::string_view contents);

}  // namespace harlo::bluez_sim
