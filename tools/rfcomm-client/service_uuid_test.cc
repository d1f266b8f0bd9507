#include "service_uuid.h"

#include <gtest/gtest.h>

#include <string>

namespace harlo {
namespace {

// The bytes come out most significant first, from either case, and format
// back in lower case; the companion service's UUID is the one the helper
// publishes, and a 16-bit UUID stands in the base UUID's third and fourth
// bytes.
TEST(ServiceUuid, ParsesInWrittenOrderAndFormatsBack) {
  auto uuid = parseServiceUuid("00112233-4455-6677-8899-AaBbCcDdEeFf");
  ASSERT_TRUE(uuid.has_value());
  EXPECT_EQ(*uuid, (ServiceUuid{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA,
                                0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
  EXPECT_EQ(formatServiceUuid(*uuid), "00112233-4455-6677-8899-aabbccddeeff");
  EXPECT_EQ(formatServiceUuid(companionServiceUuid), "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10");
  EXPECT_EQ(formatServiceUuid(shortUuid(0x2902)), "00002902-0000-1000-8000-00805f9b34fb");
}

// Other ways of writing a UUID are refused rather than half-read.
TEST(ServiceUuid, RefusesOtherForms) {
  const std::string cases[] = {
      "",
      "1101",                                    // a short UUID
      "d53f4e4c6c174d8ba1c74a7a3f6d9a10",        // no hyphens
      "{d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10}",  // braces
      "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a1",     // 35 characters
      "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a100",   // 37 characters
      "d53f4e4c-6c17-4d8b-a1c74-a7a3f6d9a10",    // a hyphen moved
      "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a1g",    // not a hex digit
      "d53f4e4c-6c17+4d8b-a1c7-4a7a3f6d9a10",    // another separator
      " d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a1",    // leading space
  };
  for (const auto& text : cases) {
    EXPECT_FALSE(parseServiceUuid(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace harlo
