// The record file: what the simulator has registered, as text a test can
// read back and compare.
//
// The simulator rewrites the whole file after every change (a profile, GATT
// application or advertisement registered or removed, an owner gone, an
// UnregisterProfile call, shutdown),
// replacing it atomically, and writes it before replying to the call that
// caused the change: a test that got the reply reads the new state. Its
// sections come in this order, each possibly empty:
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
//   unregister <path> <caller> <outcome>       one per UnregisterProfile call
//                                              since start, in arrival order;
//                                              outcome removed|refused|unanswered
//
//   gatt-application <root>                    } once per GATT application
//   adapter <adapter path>                     } registered (answered with
//   owner <unique bus name>                    } success), in registration order
//   service <path> <uuid> primary|secondary    one per service, in order
//   characteristic <path> <uuid> <service> <flags> <has>
//                                              one per characteristic, in
//                                              handle order; <has> lists which
//                                              of WriteAcquired, NotifyAcquired,
//                                              Notifying the object has
//   descriptor <path> <uuid> <characteristic> <flags>
//   end
//   advertisement <path>                       } once per advertisement
//   adapter <adapter path>                     } registered, in registration
//   owner <unique bus name>                    } order
//   property <key> <D-Bus type> <value>        one per property, as read
//   end
//
// The count covers the registrations only. A registration dropped because
// its owner left the bus leaves no "unregister" line: that line is the mark
// of an orderly withdrawal. Keys and values are written as in ProfileOption.
// A list (<flags>, <has>) is its words joined by ',', or "-" when empty.
// Text fields escape '\' as "\\", line feed, carriage return and tab as
// "\n", "\r", "\t", other control bytes as "\xNN"; a key and the fields of
// the one-line records ("unregister", "service", "characteristic",
// "descriptor") also escape a space as "\x20". Pure functions; safe from any
// thread.
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

// One UnregisterProfile call as the simulator took it.
struct UnregisterCall {
  enum class Outcome {
    removed,     // answered with success: the registration is gone
    refused,     // answered org.bluez.Error.DoesNotExist
    unanswered,  // never answered (--never-answer-unregister)
  };
  std::string path;    // the profile path the call named
  std::string caller;  // unique bus name of the caller
  Outcome outcome;

  bool operator==(const UnregisterCall&) const = default;
};

struct RecordedGattService {
  std::string path;
  std::string uuid;
  bool primary = true;

  bool operator==(const RecordedGattService&) const = default;
};

struct RecordedGattCharacteristic {
  std::string path;
  std::string uuid;
  std::string service;
  std::vector<std::string> flags;
  std::vector<std::string> has;  // of "WriteAcquired", "NotifyAcquired", "Notifying", in that order

  bool operator==(const RecordedGattCharacteristic&) const = default;
};

struct RecordedGattDescriptor {
  std::string path;
  std::string uuid;
  std::string characteristic;
  std::vector<std::string> flags;

  bool operator==(const RecordedGattDescriptor&) const = default;
};

struct RecordedGattApplication {
  std::string root;
  std::string adapter;
  std::string owner;
  std::vector<RecordedGattService> services;
  std::vector<RecordedGattCharacteristic> characteristics;
  std::vector<RecordedGattDescriptor> descriptors;

  bool operator==(const RecordedGattApplication&) const = default;
};

struct RecordedAdvertisement {
  std::string path;
  std::string adapter;
  std::string owner;
  std::vector<ProfileOption> properties;  // as read, in order

  bool operator==(const RecordedAdvertisement&) const = default;
};

struct RecordFile {
  std::vector<RecordedProfile> profiles;
  std::vector<UnregisterCall> unregisterCalls;
  std::vector<RecordedGattApplication> gattApplications = {};
  std::vector<RecordedAdvertisement> advertisements = {};

  bool operator==(const RecordFile&) const = default;
};

RecordedProfile recordOf(const Registration& registration);

std::string formatRecordFileContents(const RecordFile& contents);

// The file of the profile sections alone.
std::string formatRecordFile(const std::vector<RecordedProfile>& profiles,
                             const std::vector<UnregisterCall>& unregisterCalls = {});

// Reads text written by formatRecordFileContents; the error names the bad
// line.
Result<RecordFile, std::string> readRecordFile(std::string_view text);

// The registrations of text written by formatRecordFile.
Result<std::vector<RecordedProfile>, std::string> parseRecordFile(std::string_view text);

// Writes `contents` to `path` through a temporary file in the same folder
// and a rename, so that a reader sees the old file or the new one, never a
// part. The error carries the failing call and its errno text.
Result<void, std::string> writeFileAtomically(const std::string& path, std::string_view contents);

}  // namespace harlo::bluez_sim
