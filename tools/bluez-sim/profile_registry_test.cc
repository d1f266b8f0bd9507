#include "profile_registry.h"

#include <gtest/gtest.h>

namespace harlo::bluez_sim {
namespace {

using Kind = RegistrationFailure::Kind;

constexpr const char* uuidA = "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10";
constexpr const char* uuidB = "00001101-0000-1000-8000-00805f9b34fb";

std::vector<ProfileOption> server(int channel) {
  return {{"Role", "s", "server"}, {"Channel", "q", std::to_string(channel)}};
}

// A registration is kept with its options as received.
TEST(ProfileRegistry, KeepsARegistration) {
  ProfileRegistry registry;
  auto added = registry.add(":1.1", "/p", uuidA, server(1));
  ASSERT_TRUE(added.ok());
  ASSERT_EQ(registry.registrations().size(), 1u);
  const Registration& r = registry.registrations()[0];
  EXPECT_EQ(r.owner, ":1.1");
  EXPECT_EQ(r.path, "/p");
  EXPECT_EQ(r.uuid, uuidA);
  EXPECT_EQ(r.options, server(1));
  EXPECT_EQ(registry.listeningProfile(), &r);
}

// The refusals come in bluetoothd's order and with its error kinds.
TEST(ProfileRegistry, RefusesAsBluetoothdDoes) {
  struct Case {
    const char* scenario;
    const char* owner;
    const char* path;
    std::string uuid;
    std::vector<ProfileOption> options;
    Kind kind;
  };
  const Case cases[] = {
      {"same owner, same path", ":1.1", "/p", uuidB, {}, Kind::alreadyExists},
      {"same path twice wins over a taken UUID", ":1.1", "/p", uuidA, {}, Kind::alreadyExists},
      {"UUID taken by another owner", ":1.2", "/q", uuidA, {}, Kind::notPermitted},
      {"UUID compared as a raw string first",
       ":1.2",
       "/q",
       "not-a-uuid",
       {},
       Kind::invalidArguments},
      {"UUID without hyphens",
       ":1.2",
       "/q",
       "d53f4e4c6c174d8ba1c74a7a3f6d9a11",
       {},
       Kind::invalidArguments},
      {"16-bit UUID", ":1.2", "/q", "0x1101", {}, Kind::invalidArguments},
      {"malformed record",
       ":1.2",
       "/q",
       uuidB,
       {{"ServiceRecord", "s", "<record>"}},
       Kind::invalidArguments},
  };
  for (const auto& c : cases) {
    ProfileRegistry registry;
    ASSERT_TRUE(registry.add(":1.1", "/p", uuidA, server(1)).ok());
    auto added = registry.add(c.owner, c.path, c.uuid, c.options);
    ASSERT_FALSE(added.ok()) << c.scenario;
    EXPECT_EQ(added.error().kind, c.kind) << c.scenario << ": " << added.error().message;
    EXPECT_EQ(registry.registrations().size(), 1u) << c.scenario;
  }
}

// The same path may be registered by two owners, and the upper-case form of a taken UUID is a
// different string.
TEST(ProfileRegistry, AllowsSamePathForAnotherOwnerAndOtherCaseOfUuid) {
  ProfileRegistry registry;
  ASSERT_TRUE(registry.add(":1.1", "/p", uuidA, {}).ok());
  EXPECT_TRUE(registry.add(":1.2", "/p", "D53F4E4C-6C17-4D8B-A1C7-4A7A3F6D9A10", {}).ok());
}

// A Service option becomes the UUID later registrations collide with.
TEST(ProfileRegistry, ServiceOptionIsTheComparedUuid) {
  ProfileRegistry registry;
  ASSERT_TRUE(registry.add(":1.1", "/p", uuidA, {{"Service", "s", uuidB}}).ok());
  EXPECT_TRUE(registry.add(":1.2", "/q", uuidA, {}).ok());
  auto taken = registry.add(":1.3", "/r", uuidB, {});
  ASSERT_FALSE(taken.ok());
  EXPECT_EQ(taken.error().kind, Kind::notPermitted);
}

// Ignored options are reported as warnings and the registration still succeeds.
TEST(ProfileRegistry, ReturnsWarningsForIgnoredOptions) {
  ProfileRegistry registry;
  auto added = registry.add(":1.1", "/p", uuidA, {{"Channel", "y", "1"}, {"Name", "s", "n"}});
  ASSERT_TRUE(added.ok());
  ASSERT_EQ(added.value().size(), 1u);
  EXPECT_EQ(registry.listeningProfile(), nullptr);
}

// Removal is per owner and path; removing an owner takes all its profiles and frees their UUIDs.
TEST(ProfileRegistry, RemovesByOwnerAndPath) {
  ProfileRegistry registry;
  ASSERT_TRUE(registry.add(":1.1", "/p", uuidA, server(1)).ok());
  ASSERT_TRUE(registry.add(":1.1", "/q", uuidB, {}).ok());
  EXPECT_FALSE(registry.remove(":1.2", "/p").has_value());
  EXPECT_FALSE(registry.remove(":1.1", "/nothing").has_value());
  auto removed = registry.removeOwner(":1.1");
  ASSERT_EQ(removed.size(), 2u);
  EXPECT_EQ(removed[0].path, "/p");
  EXPECT_EQ(removed[1].path, "/q");
  EXPECT_TRUE(registry.registrations().empty());
  EXPECT_TRUE(registry.add(":1.2", "/p", uuidA, {}).ok());
  auto one = registry.remove(":1.2", "/p");
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->uuid, uuidA);
  EXPECT_TRUE(registry.registrations().empty());
}

// An incoming client goes to the earliest registered profile that listens.
TEST(ProfileRegistry, ListeningProfileIsTheEarliestThatListens) {
  ProfileRegistry registry;
  ASSERT_TRUE(
      registry.add(":1.1", "/client", uuidB, {{"Role", "s", "client"}, {"Channel", "q", "3"}})
          .ok());
  EXPECT_EQ(registry.listeningProfile(), nullptr);
  ASSERT_TRUE(registry.add(":1.2", "/first", uuidA, server(1)).ok());
  ASSERT_TRUE(
      registry.add(":1.3", "/second", "11111111-2222-3333-4444-555555555555", server(2)).ok());
  ASSERT_NE(registry.listeningProfile(), nullptr);
  EXPECT_EQ(registry.listeningProfile()->path, "/first");
  EXPECT_EQ(registry.removeAll().size(), 3u);
  EXPECT_EQ(registry.listeningProfile(), nullptr);
}

}  // namespace
}  // namespace harlo::bluez_sim
