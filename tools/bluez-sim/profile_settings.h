// The options of a profile registration, as received and as understood.
//
// bluetoothd reads RegisterProfile's options one by one, in the order sent,
// matching keys case-insensitively. An option of the wrong D-Bus type (or a
// Channel above 31) is logged and ignored; an unknown key is ignored. The
// settings here follow it, and every ignored option also yields a warning.
// Pure; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace harlo::bluez_sim {

// One option as received: its key, the D-Bus signature of its value, and the
// value as text: a string as is, a boolean "true" or "false", an integer in
// decimal, a container in a readable nested form.
struct ProfileOption {
  std::string key;
  std::string type;
  std::string value;

  bool operator==(const ProfileOption&) const = default;
};

// What bluetoothd would make of the options, for the options this
// simulator acts on or records.
struct ProfileSettings {
  std::optional<std::string> name;
  std::optional<std::string> role;
  std::optional<std::string> serviceRecord;
  std::optional<std::string> service;
  std::optional<std::uint16_t> channel;  // 0 asks for any free channel
  std::optional<std::uint16_t> psm;
  std::optional<std::uint16_t> version;
  std::optional<std::uint16_t> features;
  bool requireAuthentication = true;
  bool requireAuthorization = true;
  bool autoConnect = false;
  // Role "client" turns the server side off; Role "server" and a
  // ServiceRecord turn it on; whichever comes last wins.
  bool serverEnabled = true;
};

struct InterpretedOptions {
  ProfileSettings settings;
  std::vector<std::string> warnings;  // one per ignored option
};

InterpretedOptions interpretOptions(const std::vector<ProfileOption>& options);

// The RFCOMM channel a profile with `settings` accepts connections on: its
// Channel when the server side is on, else nothing (bluetoothd then listens
// nowhere for a custom UUID). 0 means "any free channel".
std::optional<std::uint16_t> listeningChannel(const ProfileSettings& settings);

// True for a 128-bit UUID in bluetoothd's sense: 36 characters with hyphens
// at offsets 8, 13, 18 and 23 (bluetoothd checks no more than that).
bool hasUuid128Shape(const std::string& text);

}  // namespace harlo::bluez_sim
