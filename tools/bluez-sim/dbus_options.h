// Reading RegisterProfile's a{sv} options off an sd-bus message.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"
#include "profile_settings.h"

struct sd_bus_message;

namespace harlo::bluez_sim {

// Reads one a{sv} at the message's read position into options, in the order
// sent: the key, the signature of the variant's contents, and the value as
// text (see ProfileOption; containers as "[a, b]", "(a, b)", "{k: v}",
// "<type value>", a file descriptor as "fd"). Fails with a negative errno
// when the message does not hold an a{sv} there.
Result<std::vector<ProfileOption>, int> readProfileOptions(sd_bus_message* message);

// Reads the one complete value at the message's read position and renders it
// as readProfileOptions renders an option's value.
Result<std::string, int> readValueText(sd_bus_message* message);

}  // namespace harlo::bluez_sim
