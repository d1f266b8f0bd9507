#include "rfcomm/service_description.h"

#include <gtest/gtest.h>

#include <string>

namespace harlo {
namespace {

// UUID texts: either case of hex digits in the 8-4-4-4-12 form, nothing else.
TEST(ServiceDescription, ParseUUIDAcceptsOnlyTheHyphenatedForm) {
  const std::array<std::uint8_t, 16> companion = {0xd5, 0x3f, 0x4e, 0x4c, 0x6c, 0x17, 0x4d, 0x8b,
                                                  0xa1, 0xc7, 0x4a, 0x7a, 0x3f, 0x6d, 0x9a, 0x10};
  EXPECT_EQ(parseUUID("d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10"), companion);
  EXPECT_EQ(parseUUID("D53F4E4C-6C17-4D8B-A1C7-4A7A3F6D9A10"), companion);
  EXPECT_EQ(parseUUID("d53F4e4C-6c17-4D8b-a1C7-4a7A3f6D9a10"), companion);

  const char* invalid[] = {
      "d53f4e4c6c174d8ba1c74a7a3f6d9a10",            // no hyphens
      "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a1",         // 35 characters
      "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a100",       // 37 characters
      "d53f4e4-c6c17-4d8b-a1c7-4a7a3f6d9a10",        // hyphen out of place
      "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a1g",        // not a hex digit
      "d53f4e4c-6c17-4d8b-a1c7+4a7a3f6d9a10",        // another separator
      "{53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a1}",        // braces
      " d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a1",        // leading space
      "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a\xC3\xA9",  // non-ASCII
      "",
  };
  for (const char* text : invalid) EXPECT_EQ(parseUUID(text), std::nullopt) << text;
}

// The description names the companion service, asks for the preferred
// channel, requires an authenticated, authorized link and names the two
// characteristics clients over Low Energy look for.
TEST(ServiceDescription, NamesTheCompanionService) {
  const auto description = makeServiceDescription(30);
  ASSERT_TRUE(description.ok());
  const platform::ServiceDescription expected{
      .uuid = {0xd5, 0x3f, 0x4e, 0x4c, 0x6c, 0x17, 0x4d, 0x8b, 0xa1, 0xc7, 0x4a, 0x7a, 0x3f, 0x6d,
               0x9a, 0x10},
      .name = "Harlo Unicode Companion",
      .preferredChannel = 30,
      .requireAuthentication = true,
      .requireAuthorization = true,
      .lowEnergy = {.toService = {0xd5, 0x3f, 0x4e, 0x4d, 0x6c, 0x17, 0x4d, 0x8b, 0xa1, 0xc7, 0x4a,
                                  0x7a, 0x3f, 0x6d, 0x9a, 0x10},
                    .fromService = {0xd5, 0x3f, 0x4e, 0x4e, 0x6c, 0x17, 0x4d, 0x8b, 0xa1, 0xc7,
                                    0x4a, 0x7a, 0x3f, 0x6d, 0x9a, 0x10}}};
  EXPECT_EQ(description.value(), expected);
  EXPECT_EQ(platform::uuidText(description.value().uuid), "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10");
}

// A UUID text that does not parse fails with its message and builds nothing.
TEST(ServiceDescription, InvalidUUIDFails) {
  const auto description = makeServiceDescription(1, "d53f4e4c6c174d8ba1c74a7a3f6d9a10");
  ASSERT_FALSE(description.ok());
  EXPECT_EQ(description.error(), BridgeError{"invalid companion service UUID"});
}

}  // namespace
}  // namespace harlo
