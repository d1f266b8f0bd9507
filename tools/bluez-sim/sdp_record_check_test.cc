#include "sdp_record_check.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/companion_record.h"

namespace harlo::bluez_sim {
namespace {

std::string inAttribute(const std::string& data) {
  return "<record><attribute id=\"0x0100\">" + data + "</attribute></record>";
}

// The companion service's record, as the helper writes it, passes.
TEST(SdpRecordCheck, AcceptsTheCompanionRecord) {
  auto checked = checkServiceRecord(test_support::companionRecordXML);
  EXPECT_TRUE(checked.ok()) << checked.error();
}

// Each data element accepts the values bluetoothd's parser reads in full.
TEST(SdpRecordCheck, AcceptsEachValueKind) {
  const char* cases[] = {
      "<boolean value=\"true\"/>",
      "<boolean value=\"false\"/>",
      "<uint8 value=\"255\"/>",
      "<uint8 value=\"0xff\"/>",
      "<uint16 value=\"0xFFFF\"/>",
      "<uint32 value=\"4294967295\"/>",
      "<uint64 value=\"0xffffffffffffffff\"/>",
      "<int8 value=\"-128\"/>",
      "<int16 value=\"32767\"/>",
      "<int32 value=\"-0x80000000\"/>",
      "<int64 value=\"017\"/>",
      "<uint128 value=\"00112233445566778899aabbccddeeff\"/>",
      "<uuid value=\"0x12345678\"/>",
      "<uuid value=\"D53F4E4C-6C17-4D8B-A1C7-4A7A3F6D9A10\"/>",
      "<text value=\"\"/>",
      "<text encoding=\"hex\" value=\"48690a\"/>",
      "<url value=\"http://example.com/\"/>",
      "<nil/>",
      "<alternate><uint8 value=\"1\"/><nil/></alternate>",
      "<sequence/>",
  };
  for (const char* data : cases) {
    auto checked = checkServiceRecord(inAttribute(data));
    EXPECT_TRUE(checked.ok()) << data << ": " << checked.error();
  }
}

// Records bluetoothd would mangle or refuse are refused, with the reason.
TEST(SdpRecordCheck, RefusesBadRecords) {
  struct Case {
    std::string record;
    std::string reason;
  };
  const Case cases[] = {
      {"<record><attribute id=\"0x0100\"><text value=\"x\"/></record>", "XML error"},
      {"<service/>", "not <record>"},
      {"<record><text value=\"x\"/></record>", "directly in <record>"},
      {"<record><attribute><nil/></attribute></record>", "no id"},
      {"<record><attribute id=\"0x10000\"><nil/></attribute></record>", "bad attribute id"},
      {"<record><attribute id=\"zero\"><nil/></attribute></record>", "bad attribute id"},
      {"<record><attribute id=\"1\"><nil/></attribute><attribute "
       "id=\"0x01\"><nil/></attribute></record>",
       "id given twice"},
      {"<record><attribute id=\"1\"></attribute></record>", "exactly one"},
      {"<record><attribute id=\"1\"><nil/><nil/></attribute></record>", "exactly one"},
      {"<record>x<attribute id=\"1\"><nil/></attribute></record>", "stray text"},
      {inAttribute("<string value=\"x\"/>"), "unknown element <string>"},
      {inAttribute("<uint8/>"), "has no value"},
      {inAttribute("<uint8 value=\"\"/>"), "bad value"},
      {inAttribute("<uint8 value=\"256\"/>"), "bad value"},
      {inAttribute("<uint8 value=\"0x1g\"/>"), "bad value"},
      {inAttribute("<uint8 value=\" 1\"/>"), "bad value"},
      {inAttribute("<uint8 value=\"-1\"/>"), "bad value"},
      {inAttribute("<uint8 value=\"08\"/>"), "bad value"},
      {inAttribute("<int8 value=\"128\"/>"), "bad value"},
      {inAttribute("<int8 value=\"-129\"/>"), "bad value"},
      {inAttribute("<uint64 value=\"18446744073709551616\"/>"), "bad value"},
      {inAttribute("<boolean value=\"1\"/>"), "bad value"},
      {inAttribute("<uint128 value=\"0011\"/>"), "bad value"},
      {inAttribute("<uuid value=\"d53f4e4c6c174d8ba1c74a7a3f6d9a10\"/>"), "bad value"},
      {inAttribute("<uuid value=\"d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a1z\"/>"), "bad value"},
      {inAttribute("<uuid value=\"0x100000000\"/>"), "bad value"},
      {inAttribute("<text encoding=\"hex\" value=\"486\"/>"), "bad value"},
      {inAttribute("<text value=\"a\">b</text>"), "stray text"},
      {inAttribute("<uint8 value=\"1\"><nil/></uint8>"), "cannot hold elements"},
      {inAttribute("<sequence><bogus value=\"1\"/></sequence>"), "unknown element <bogus>"},
  };
  for (const auto& c : cases) {
    auto checked = checkServiceRecord(c.record);
    ASSERT_FALSE(checked.ok()) << "accepted: " << c.record;
    EXPECT_NE(checked.error().find(c.reason), std::string::npos)
        << c.record << " gave: " << checked.error();
  }
}

}  // namespace
}  // namespace harlo::bluez_sim
