#include "platform/linux/bluez/owner_change.h"

#include <gtest/gtest.h>

namespace harlo::platform {
namespace {

// Which NameOwnerChanged signals move the known owner of "org.bluez".
TEST(BluezOwnerAfter, FollowsChangesFromTheKnownOwnerOnly) {
  struct Case {
    const char* scenario;
    const char* known;
    const char* name;
    const char* oldOwner;
    const char* newOwner;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"bluetoothd appears", "", "org.bluez", "", ":1.7", ":1.7"},
      {"bluetoothd leaves", ":1.7", "org.bluez", ":1.7", "", ""},
      {"a new bluetoothd takes over", ":1.7", "org.bluez", ":1.7", ":1.9", ":1.9"},
      {"stale: it appeared before the answer we already have", ":1.7", "org.bluez", "", ":1.7",
       std::nullopt},
      {"stale: an older owner left before the answer", ":1.9", "org.bluez", ":1.7", "",
       std::nullopt},
      {"stale: appeared and left before an answer of none", "", "org.bluez", ":1.7", "",
       std::nullopt},
      {"another name", ":1.7", "org.bluez.obex", ":1.7", "", std::nullopt},
      {"a name that only starts like ours", "", "org.bluezz", "", ":1.8", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bluezOwnerAfter(c.known, c.name, c.oldOwner, c.newOwner), c.expected) << c.scenario;
  }
}

}  // namespace
}  // namespace harlo::platform
