// Which NameOwnerChanged signals change the known owner of BlueZ's bus name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace harlo::platform {

// The owner of "org.bluez" after a NameOwnerChanged(name, oldOwner, newOwner)
// signal, given `known`, the owner known before it (empty: none); nothing
// when the signal changes nothing we follow.
//
// Signals that arrived while the first GetNameOwner waited for its answer are
// dispatched only after it, and describe changes older than that answer. A
// change is therefore taken only when it starts from the owner we know, which
// skips those stale signals and follows every later change. Signals for other
// names are ignored.
std::optional<std::string> bluezOwnerAfter(std::string_view known, std::string_view name,
                                           std::string_view oldOwner, std::string_view newOwner);

}  // namespace harlo::platform
