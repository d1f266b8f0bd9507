#include "att_pdu.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace harlo::att {
namespace {

const Pdu companionOnWire{0x10, 0x9a, 0x6d, 0x3f, 0x7a, 0x4a, 0xc7, 0xa1,
                          0x8b, 0x4d, 0x17, 0x6c, 0x4c, 0x4e, 0x3f, 0xd5};

Pdu join(Pdu head, const Pdu& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// Handles and types go least significant byte first, a 128-bit UUID in
// reverse of its written order; values follow their handle unchanged.
TEST(AttPdu, BuildsRequestsByteForByte) {
  const std::uint8_t hi[] = {'h', 'i'};
  struct Case {
    Pdu built;
    Pdu expected;
  };
  const Case cases[] = {
      {exchangeMtuRequest(247), {0x02, 0xF7, 0x00}},
      {exchangeMtuResponse(517), {0x03, 0x05, 0x02}},
      {findPrimaryServiceRequest({0x0001, 0xFFFF}, companionServiceUuid),
       join({0x06, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x28}, companionOnWire)},
      {readByTypeRequest({0x0010, 0x0120}, characteristicType),
       {0x08, 0x10, 0x00, 0x20, 0x01, 0x03, 0x28}},
      {findInformationRequest({0x0015, 0x0017}), {0x04, 0x15, 0x00, 0x17, 0x00}},
      {writeRequest(0x0112, hi), {0x12, 0x12, 0x01, 'h', 'i'}},
      {writeCommand(0x0012, {}), {0x52, 0x12, 0x00}},
      {errorResponse({0x10, 0x0001, 0x0A}), {0x01, 0x10, 0x01, 0x00, 0x0A}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.built, c.expected);
}

// Each parser reads well-formed PDUs of every layout it accepts.
TEST(AttPdu, ParsesWellFormedResponses) {
  EXPECT_EQ(parseErrorResponse(Pdu{0x01, 0x12, 0x03, 0x00, 0x08}),
            (ErrorResponse{0x12, 0x0003, 0x08}));
  EXPECT_EQ(parseExchangeMtu(Pdu{0x03, 0xB9, 0x00}), 185);
  EXPECT_EQ(parseFindByTypeValueResponse(Pdu{0x07, 0x10, 0x00, 0x15, 0x00, 0x30, 0x00, 0x30, 0x00}),
            (std::vector<HandleRange>{{0x10, 0x15}, {0x30, 0x30}}));

  // Two declarations with 16-bit UUIDs, then one with a 128-bit UUID.
  EXPECT_EQ(parseCharacteristicDeclarations(Pdu{0x09, 7, 0x02, 0x00, 0x02, 0x03, 0x00, 0x00, 0x2A,
                                                0x04, 0x00, 0x10, 0x05, 0x00, 0x01, 0x2A}),
            (std::vector<CharacteristicDeclaration>{{0x0002, 0x02, 0x0003, shortUuid(0x2A00)},
                                                    {0x0004, 0x10, 0x0005, shortUuid(0x2A01)}}));
  EXPECT_EQ(
      parseCharacteristicDeclarations(join({0x09, 21, 0x11, 0x00, 0x0C, 0x12, 0x00},
                                           {0x10, 0x9a, 0x6d, 0x3f, 0x7a, 0x4a, 0xc7, 0xa1, 0x8b,
                                            0x4d, 0x17, 0x6c, 0x4d, 0x4e, 0x3f, 0xd5})),
      (std::vector<CharacteristicDeclaration>{{0x0011, 0x0C, 0x0012, toHelperCharacteristicUuid}}));

  EXPECT_EQ(
      parseFindInformationResponse(Pdu{0x05, 1, 0x15, 0x00, 0x02, 0x29, 0x16, 0x00, 0x01, 0x29}),
      (std::vector<HandleUuid>{{0x15, shortUuid(0x2902)}, {0x16, shortUuid(0x2901)}}));
  EXPECT_EQ(parseFindInformationResponse(join({0x05, 2, 0x20, 0x00}, companionOnWire)),
            (std::vector<HandleUuid>{{0x20, companionServiceUuid}}));

  const Pdu notification{0x1B, 0x14, 0x00, 'o', 'k', '\n'};
  auto value = parseHandleValue(notification);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->handle, 0x0014);
  EXPECT_EQ(std::string(value->value.begin(), value->value.end()), "ok\n");
  auto empty = parseHandleValue(Pdu{0x1D, 0x14, 0x00});
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->value.empty());
}

// A PDU with the wrong opcode, length or layout is refused, not half-read.
TEST(AttPdu, RefusesMalformedPdus) {
  using Parser = std::function<bool(Bytes)>;
  const Parser error = [](Bytes p) { return parseErrorResponse(p).has_value(); };
  const Parser mtu = [](Bytes p) { return parseExchangeMtu(p).has_value(); };
  const Parser services = [](Bytes p) { return parseFindByTypeValueResponse(p).has_value(); };
  const Parser declarations = [](Bytes p) {
    return parseCharacteristicDeclarations(p).has_value();
  };
  const Parser descriptors = [](Bytes p) { return parseFindInformationResponse(p).has_value(); };
  const Parser value = [](Bytes p) { return parseHandleValue(p).has_value(); };
  struct Case {
    const char* what;
    const Parser& parser;
    Pdu pdu;
  };
  const Case cases[] = {
      {"empty", error, {}},
      {"error response short", error, {0x01, 0x12, 0x03, 0x00}},
      {"error response long", error, {0x01, 0x12, 0x03, 0x00, 0x08, 0x00}},
      {"mtu short", mtu, {0x03, 0x17}},
      {"mtu under another opcode", mtu, {0x05, 0x17, 0x00}},
      {"no service", services, {0x07}},
      {"service cut short", services, {0x07, 0x10, 0x00, 0x15}},
      {"service at handle 0", services, {0x07, 0x00, 0x00, 0x15, 0x00}},
      {"service ending before it starts", services, {0x07, 0x15, 0x00, 0x10, 0x00}},
      {"declaration length 6", declarations, {0x09, 6, 0x02, 0x00, 0x02, 0x03, 0x00, 0x00}},
      {"no declaration", declarations, {0x09, 7}},
      {"declaration cut short", declarations, {0x09, 7, 0x02, 0x00, 0x02, 0x03, 0x00, 0x00}},
      {"value before its declaration",
       declarations,
       {0x09, 7, 0x05, 0x00, 0x02, 0x05, 0x00, 0x00, 0x2A}},
      {"declarations under another opcode",
       declarations,
       {0x11, 7, 0x02, 0x00, 0x02, 0x03, 0x00, 0x00, 0x2A}},
      {"descriptor format 3", descriptors, {0x05, 3, 0x15, 0x00, 0x02, 0x29}},
      {"descriptor cut short", descriptors, {0x05, 1, 0x15, 0x00, 0x02}},
      {"descriptor at handle 0", descriptors, {0x05, 1, 0x00, 0x00, 0x02, 0x29}},
      {"notification without handle", value, {0x1B, 0x14}},
      {"confirmation as a value", value, {0x1E, 0x14, 0x00}},
  };
  for (const auto& c : cases) EXPECT_FALSE(c.parser(c.pdu)) << c.what;
}

// What the receiver owes decides the kind: a request is answered, a command
// and a notification are not, an indication is confirmed.
TEST(AttPdu, KindsByOpcode) {
  struct Case {
    std::uint8_t opcode;
    PduKind kind;
  };
  const Case cases[] = {
      {0x02, PduKind::request},    {0x10, PduKind::request},      {0x20, PduKind::request},
      {0x3C, PduKind::request},    {0x01, PduKind::response},     {0x13, PduKind::response},
      {0x21, PduKind::response},   {0x1B, PduKind::notification}, {0x23, PduKind::notification},
      {0x1D, PduKind::indication}, {0x1E, PduKind::confirmation}, {0x52, PduKind::command},
      {0xD2, PduKind::command},    {0x7F, PduKind::command},
  };
  for (const auto& c : cases) EXPECT_EQ(kindOf(c.opcode), c.kind) << int{c.opcode};
}

// A peer without attributes answers every request, so that a server which
// discovers its clients (as bluetoothd does) finishes instead of timing out.
TEST(AttPdu, AnswersThePeersRequests) {
  struct Case {
    const char* what;
    Pdu request;
    Pdu answer;
  };
  const Case cases[] = {
      {"exchange MTU", {0x02, 0x05, 0x02}, {0x03, 0xF7, 0x00}},
      {"primary services",
       {0x10, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x28},
       {0x01, 0x10, 0x01, 0x00, 0x0A}},
      {"find information", {0x04, 0x05, 0x00, 0xFF, 0xFF}, {0x01, 0x04, 0x05, 0x00, 0x0A}},
      {"find by type value",
       {0x06, 0x08, 0x00, 0xFF, 0xFF, 0x00, 0x28, 0x01, 0x18},
       {0x01, 0x06, 0x08, 0x00, 0x0A}},
      {"read by type, cut short",
       {0x08, 0x01, 0x00, 0xFF, 0xFF, 0x03},
       {0x01, 0x08, 0x00, 0x00, 0x04}},
      {"exchange MTU, cut short", {0x02, 0x05}, {0x01, 0x02, 0x00, 0x00, 0x04}},
      {"read", {0x0A, 0x03, 0x00}, {0x01, 0x0A, 0x00, 0x00, 0x06}},
  };
  for (const auto& c : cases) EXPECT_EQ(answerRequest(c.request, 247), c.answer) << c.what;
}

// Both sides use the smaller MTU, never less than the default.
TEST(AttPdu, AgreesOnTheSmallerMtu) {
  EXPECT_EQ(agreedMtu(247, 517), 247);
  EXPECT_EQ(agreedMtu(247, 185), 185);
  EXPECT_EQ(agreedMtu(247, 5), 23);
  EXPECT_EQ(valueCapacity(23), 20u);
}

// A refusal names the request, the handle and the error, with the names of
// the codes a client of the helper meets when the link or the device is not
// good enough.
TEST(AttPdu, DescribesErrors) {
  EXPECT_EQ(describeError({0x12, 0x0003, 0x08}),
            "Error Response to Write Request (0x12) on handle 0x0003: Insufficient "
            "Authorization (0x08)");
  struct Case {
    std::uint8_t code;
    std::string_view name;
  };
  const Case cases[] = {
      {0x03, "Write Not Permitted"}, {0x05, "Insufficient Authentication"},
      {0x0A, "Attribute Not Found"}, {0x0F, "Insufficient Encryption"},
      {0x13, "Value Not Allowed"},   {0x14, "Reserved Error"},
      {0x85, "Application Error"},   {0xFF, "Out of Range"},
      {0x00, "Reserved Error"},
  };
  for (const auto& c : cases) EXPECT_EQ(errorName(c.code), c.name) << int{c.code};
  EXPECT_EQ(describeMalformed(Pdu{0x05, 3}),
            "malformed Find Information Response (0x05) of 2 bytes");
}

}  // namespace
}  // namespace harlo::att
