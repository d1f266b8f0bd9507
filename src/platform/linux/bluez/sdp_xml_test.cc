#include "platform/linux/bluez/sdp_xml.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "companion_record.h"
#include "rfcomm/service_record.h"

namespace harlo::platform {
namespace {

ServiceDictionary companion(std::uint8_t channel) {
  auto description = makeServiceDictionary(channel);
  EXPECT_TRUE(description.ok());
  return std::move(description).value();
}

void setName(ServiceDictionary& description, std::string name) {
  for (auto& [key, element] : description) {
    if (key == "0x0100 ServiceName") element.value = std::move(name);
  }
}

SdpElement uuid16(std::uint8_t high, std::uint8_t low) { return {SdpBytes{high, low}}; }
SdpElement list(SdpList items) { return {std::move(items)}; }

// The companion description becomes exactly the record XML bluetoothd is given.
TEST(SdpXml, CompanionRecordIsExact) {
  EXPECT_EQ(sdpRecordXml(companion(1)), test_support::companionRecordXML);
}

// The channel element follows the description's channel, in two hex digits.
TEST(SdpXml, ChannelNumberIsWrittenAsUInt8) {
  std::string expected(test_support::companionRecordXML);
  const std::string one = "<uint8 value=\"0x01\" />";
  expected.replace(expected.find(one), one.size(), "<uint8 value=\"0x1e\" />");
  EXPECT_EQ(sdpRecordXml(companion(30)), expected);
}

// Markup characters in text are escaped; other text passes through as it is.
TEST(SdpXml, TextIsEscaped) {
  struct Case {
    std::string name;
    std::string written;
  };
  const Case cases[] = {
      {"Tom & \"Jerry\" <3>", "Tom &amp; &quot;Jerry&quot; &lt;3&gt;"},
      {"&amp;", "&amp;amp;"},
      {"it's caf\xc3\xa9", "it's caf\xc3\xa9"},
  };
  for (const Case& c : cases) {
    ServiceDictionary description = companion(1);
    setName(description, c.name);
    const auto xml = sdpRecordXml(description);
    ASSERT_TRUE(xml) << c.name;
    EXPECT_NE(xml->find("<text value=\"" + c.written + "\" />"), std::string::npos) << *xml;
  }
}

// Attributes come out in ascending ID order whatever order the map holds.
TEST(SdpXml, AttributesAreSortedById) {
  ServiceDictionary description = companion(1);
  std::reverse(description.begin(), description.end());
  EXPECT_EQ(sdpRecordXml(description), test_support::companionRecordXML);
}

// Descriptions with no faithful XML form are refused rather than half-written.
TEST(SdpXml, RefusesWhatItCannotWrite) {
  const SdpMap options{{"Persistent", {false}}};
  const ServiceDictionary cases[] = {
      {{"ServiceName", {std::string("x")}}},                                  // no ID
      {{"0x01 ServiceClassIDList", list({uuid16(0x11, 0x01)})}},              // two digits
      {{"0x00zz Name", {std::string("x")}}},                                  // not hex
      {{"0x0100Name", {std::string("x")}}},                                   // no space
      {{"0x0100 A", {std::string("a")}}, {"0x0100 B", {std::string("b")}}},   // twice
      {{"0x0001 ServiceClassIDList", list({{SdpBytes{0x11, 0x01, 0x02}}})}},  // 3-byte UUID
      {{"0x0200 Options", {options}}},                                        // a map
      {{"0x0301 Flag", {true}}},                                              // a boolean
  };
  for (const ServiceDictionary& description : cases) {
    EXPECT_FALSE(sdpRecordXml(description)) << description.front().key;
  }
}

// The registration options are read from the description; the UUID always
// in lower case, and nothing where the description lacks a value.
TEST(SdpXml, ExtractsRegistrationValues) {
  const ServiceDictionary description = companion(7);
  EXPECT_EQ(rfcommChannelOf(description), 7);
  EXPECT_EQ(serviceUUIDOf(description), "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10");
  EXPECT_EQ(serviceNameOf(description), "Harlo Unicode Companion");

  auto upper = makeServiceDictionary(1, "D53F4E4C-6C17-4D8B-A1C7-4A7A3F6D9A10");
  ASSERT_TRUE(upper.ok());
  EXPECT_EQ(serviceUUIDOf(upper.value()), "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10");

  const ServiceDictionary shortOnly = {{"0x0001 ServiceClassIDList", list({uuid16(0x11, 0x01)})},
                                       {"0x0100 ServiceName", {SdpUInt8{1}}}};
  EXPECT_EQ(serviceUUIDOf(shortOnly), std::nullopt);
  EXPECT_EQ(serviceNameOf(shortOnly), std::nullopt);
}

// The channel is the number after the RFCOMM UUID, not any other 8-bit value.
TEST(SdpXml, ChannelExtraction) {
  const SdpElement five{SdpUInt8{5}};
  const ServiceDictionary onlyL2cap = {
      {"0x0004 ProtocolDescriptorList", list({list({uuid16(0x01, 0x00), five})})}};
  const ServiceDictionary rfcommSecond = {
      {"0x0004 ProtocolDescriptorList",
       list({list({uuid16(0x01, 0x00), {SdpUInt8{9}}}), list({uuid16(0x00, 0x03), five})})}};
  const ServiceDictionary noList = {{"0x0004 ProtocolDescriptorList", {std::string("x")}}};
  const ServiceDictionary channelAsText = {
      {"0x0004 ProtocolDescriptorList", list({list({uuid16(0x00, 0x03), {std::string("5")}})})}};

  EXPECT_EQ(rfcommChannelOf(onlyL2cap), std::nullopt);
  EXPECT_EQ(rfcommChannelOf(rfcommSecond), 5);
  EXPECT_EQ(rfcommChannelOf(noList), std::nullopt);
  EXPECT_EQ(rfcommChannelOf(channelAsText), std::nullopt);
  EXPECT_EQ(rfcommChannelOf(ServiceDictionary{}), std::nullopt);
}

// A granted channel replaces exactly the RFCOMM number, so that the record
// and the Channel option agree; without one there is nothing to replace.
TEST(SdpXml, GrantedChannelReplacesTheRequestedOne) {
  EXPECT_EQ(withRfcommChannel(companion(1), 12), companion(12));
  const ServiceDictionary onlyL2cap = {
      {"0x0004 ProtocolDescriptorList", list({list({uuid16(0x01, 0x00), {SdpUInt8{1}}})})}};
  EXPECT_EQ(withRfcommChannel(onlyL2cap, 12), std::nullopt);
}

}  // namespace
}  // namespace harlo::platform
