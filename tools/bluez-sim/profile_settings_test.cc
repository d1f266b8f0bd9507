#include "profile_settings.h"

#include <gtest/gtest.h>

namespace harlo::bluez_sim {
namespace {

// The options the helper sends are all taken, with keys in any case.
TEST(ProfileSettings, TakesKnownOptionsWithKeysInAnyCase) {
  auto result = interpretOptions({
      {"name", "s", "Harlo Unicode Companion"},
      {"ROLE", "s", "server"},
      {"Channel", "q", "1"},
      {"serviceRecord", "s", "<record/>"},
      {"RequireAuthentication", "b", "false"},
      {"requireauthorization", "b", "false"},
      {"AutoConnect", "b", "true"},
      {"PSM", "q", "4097"},
      {"Version", "q", "258"},
      {"Features", "q", "7"},
      {"Service", "s", "00001101-0000-1000-8000-00805f9b34fb"},
  });
  EXPECT_TRUE(result.warnings.empty());
  const ProfileSettings& s = result.settings;
  EXPECT_EQ(s.name, "Harlo Unicode Companion");
  EXPECT_EQ(s.role, "server");
  EXPECT_EQ(s.channel, 1);
  EXPECT_EQ(s.serviceRecord, "<record/>");
  EXPECT_FALSE(s.requireAuthentication);
  EXPECT_FALSE(s.requireAuthorization);
  EXPECT_TRUE(s.autoConnect);
  EXPECT_EQ(s.psm, 4097);
  EXPECT_EQ(s.version, 258);
  EXPECT_EQ(s.features, 7);
  EXPECT_EQ(s.service, "00001101-0000-1000-8000-00805f9b34fb");
}

// An option of the wrong type, a Channel above 31 or an unknown key is ignored with a warning
// naming it.
TEST(ProfileSettings, IgnoresBadOptionsWithAWarning) {
  const ProfileOption cases[] = {
      {"Channel", "y", "1"},
      {"Channel", "u", "1"},
      {"Channel", "q", "32"},
      {"Name", "as", "[a]"},
      {"Role", "o", "/server"},
      {"ServiceRecord", "ay", "[60]"},
      {"RequireAuthentication", "s", "false"},
      {"Service", "s", "spp"},
      {"Colour", "s", "blue"},
  };
  for (const auto& option : cases) {
    auto result = interpretOptions({option});
    ASSERT_EQ(result.warnings.size(), 1u) << option.key << " " << option.type;
    EXPECT_NE(result.warnings[0].find(option.key), std::string::npos) << result.warnings[0];
    EXPECT_FALSE(result.settings.channel.has_value());
    EXPECT_FALSE(result.settings.name || result.settings.role || result.settings.serviceRecord ||
                 result.settings.service);
    EXPECT_TRUE(result.settings.requireAuthentication);
  }
}

// Which profiles listen: the server side is switched by Role and ServiceRecord in the order sent.
TEST(ProfileSettings, ListensOnlyWithAChannelAndTheServerSideOn) {
  struct Case {
    std::vector<ProfileOption> options;
    std::optional<std::uint16_t> listening;
  };
  const Case cases[] = {
      {{{"Role", "s", "server"}, {"Channel", "q", "1"}}, 1},
      {{{"Channel", "q", "5"}}, 5},
      {{{"Channel", "q", "0"}}, 0},
      {{{"Role", "s", "server"}}, std::nullopt},
      {{{"Role", "s", "client"}, {"Channel", "q", "1"}}, std::nullopt},
      {{{"Role", "s", "client"}, {"ServiceRecord", "s", "<record/>"}, {"Channel", "q", "2"}}, 2},
      {{{"ServiceRecord", "s", "<record/>"}, {"Role", "s", "client"}, {"Channel", "q", "2"}},
       std::nullopt},
      {{{"Role", "s", "server"}, {"Channel", "y", "1"}}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(listeningChannel(interpretOptions(c.options).settings), c.listening)
        << c.options.front().key << "=" << c.options.front().value << " (" << c.options.size()
        << " options)";
  }
}

// A later option of the same key overrides an earlier one.
TEST(ProfileSettings, LaterOptionWins) {
  auto result = interpretOptions({{"Channel", "q", "3"}, {"channel", "q", "4"}});
  EXPECT_EQ(result.settings.channel, 4);
}

// The 128-bit UUID shape is bluetoothd's: length and hyphen positions only.
TEST(ProfileSettings, Uuid128ShapeChecksLengthAndHyphens) {
  EXPECT_TRUE(hasUuid128Shape("d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10"));
  EXPECT_TRUE(hasUuid128Shape("zzzzzzzz-zzzz-zzzz-zzzz-zzzzzzzzzzzz"));
  EXPECT_FALSE(hasUuid128Shape("d53f4e4c6c174d8ba1c74a7a3f6d9a10"));
  EXPECT_FALSE(hasUuid128Shape("d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a1"));
  EXPECT_FALSE(hasUuid128Shape("d53f4e4c-6c17-4d8ba-1c7-4a7a3f6d9a10"));
  EXPECT_FALSE(hasUuid128Shape("0x1101"));
}

}  // namespace
}  // namespace harlo::bluez_sim
