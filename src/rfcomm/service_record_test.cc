#include "rfcomm/service_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace harlo {
namespace {

using platform::SdpBytes;
using platform::SdpElement;
using platform::SdpList;
using platform::SdpMap;
using platform::SdpUInt8;

// UUID texts: either case of hex digits in the 8-4-4-4-12 form, nothing else.
TEST(ServiceRecord, ParseUUIDAcceptsOnlyTheHyphenatedForm) {
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

// The description holds exactly the five entries, each list in order.
TEST(ServiceRecord, DescriptionHoldsTheFiveEntries) {
  const auto description = makeServiceDictionary(1);
  ASSERT_TRUE(description.ok());
  const SdpElement channel{SdpUInt8{1}};
  const platform::ServiceDictionary expected = {
      {"0x0001 ServiceClassIDList",
       {SdpList{{SdpBytes{0xd5, 0x3f, 0x4e, 0x4c, 0x6c, 0x17, 0x4d, 0x8b, 0xa1, 0xc7, 0x4a, 0x7a,
                          0x3f, 0x6d, 0x9a, 0x10}},
                {SdpBytes{0x11, 0x01}}}}},
      {"0x0004 ProtocolDescriptorList",
       {SdpList{{SdpList{{SdpBytes{0x01, 0x00}}}}, {SdpList{{SdpBytes{0x00, 0x03}}, channel}}}}},
      {"0x0005 BrowseGroupList", {SdpList{{SdpBytes{0x10, 0x02}}}}},
      {"0x0100 ServiceName", {std::string("Harlo Unicode Companion")}},
      {"LocalAttributes", {SdpMap{{"Persistent", {false}}}}},
  };
  EXPECT_EQ(description.value(), expected);
}

// The channel element is the preferred channel as an unsigned 8-bit number.
TEST(ServiceRecord, ChannelElementIsThePreferredChannel) {
  for (const std::uint8_t preferred : {std::uint8_t{1}, std::uint8_t{30}, std::uint8_t{255}}) {
    const auto description = makeServiceDictionary(preferred);
    ASSERT_TRUE(description.ok());
    const auto& entries = description.value();
    const auto entry = std::find_if(entries.begin(), entries.end(), [](const auto& e) {
      return e.key == "0x0004 ProtocolDescriptorList";
    });
    ASSERT_NE(entry, entries.end());
    const auto& protocols = std::get<SdpList>(entry->element.value);
    const auto& rfcomm = std::get<SdpList>(protocols[1].value);
    EXPECT_EQ(rfcomm[1], SdpElement{SdpUInt8{preferred}});
  }
}

// A UUID text that does not parse fails with its message and builds nothing.
TEST(ServiceRecord, InvalidUUIDFails) {
  const auto description = makeServiceDictionary(1, "d53f4e4c6c174d8ba1c74a7a3f6d9a10");
  ASSERT_FALSE(description.ok());
  EXPECT_EQ(description.error(), BridgeError{"invalid companion service UUID"});
}

}  // namespace
}  // namespace harlo
