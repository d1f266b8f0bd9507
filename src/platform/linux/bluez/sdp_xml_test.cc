#include "platform/linux/bluez/sdp_xml.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/companion_record.h"

namespace harlo::platform {
namespace {

ServiceDescription companion() {
  return ServiceDescription{.uuid = {0xd5, 0x3f, 0x4e, 0x4c, 0x6c, 0x17, 0x4d, 0x8b, 0xa1, 0xc7,
                                     0x4a, 0x7a, 0x3f, 0x6d, 0x9a, 0x10},
                            .name = "Harlo Unicode Companion",
                            .preferredChannel = 1,
                            .requireAuthentication = true,
                            .requireAuthorization = true,
                            .lowEnergy = {}};
}

// The companion description becomes exactly the record XML bluetoothd is given.
TEST(SdpXml, CompanionRecordIsExact) {
  EXPECT_EQ(sdpRecordXml(companion(), 1), test_support::companionRecordXML);
}

// The channel element is the channel granted, in two hex digits, whatever
// channel the description asked for.
TEST(SdpXml, ChannelNumberIsWrittenAsUInt8) {
  std::string expected(test_support::companionRecordXML);
  const std::string one = "<uint8 value=\"0x01\" />";
  expected.replace(expected.find(one), one.size(), "<uint8 value=\"0x1e\" />");
  EXPECT_EQ(sdpRecordXml(companion(), 30), expected);
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
    ServiceDescription description = companion();
    description.name = c.name;
    const std::string xml = sdpRecordXml(description, 1);
    EXPECT_NE(xml.find("<text value=\"" + c.written + "\" />"), std::string::npos) << xml;
  }
}

}  // namespace
}  // namespace harlo::platform
