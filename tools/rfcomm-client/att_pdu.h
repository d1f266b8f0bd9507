// The Attribute Protocol's PDUs as this client sends and reads them:
// building them, taking them apart, answering the peer's requests, and naming
// opcodes and error codes for messages. Pure: no sockets, no state.
//
// A PDU is the opcode byte followed by its parameters, multi-byte integers
// and UUIDs least significant byte first. Every parser takes a whole PDU
// (opcode included), checks the opcode, the length and the layout, and gives
// nothing when any is wrong: a malformed PDU from a peer is refused, never
// half-read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "service_uuid.h"

namespace harlo::att {

using Pdu = std::vector<std::uint8_t>;
using Bytes = std::span<const std::uint8_t>;

namespace opcode {
inline constexpr std::uint8_t errorResponse = 0x01;
inline constexpr std::uint8_t exchangeMtuRequest = 0x02;
inline constexpr std::uint8_t exchangeMtuResponse = 0x03;
inline constexpr std::uint8_t findInformationRequest = 0x04;
inline constexpr std::uint8_t findInformationResponse = 0x05;
inline constexpr std::uint8_t findByTypeValueRequest = 0x06;
inline constexpr std::uint8_t findByTypeValueResponse = 0x07;
inline constexpr std::uint8_t readByTypeRequest = 0x08;
inline constexpr std::uint8_t readByTypeResponse = 0x09;
inline constexpr std::uint8_t readByGroupTypeRequest = 0x10;
inline constexpr std::uint8_t writeRequest = 0x12;
inline constexpr std::uint8_t writeResponse = 0x13;
inline constexpr std::uint8_t handleValueNotification = 0x1B;
inline constexpr std::uint8_t handleValueIndication = 0x1D;
inline constexpr std::uint8_t handleValueConfirmation = 0x1E;
inline constexpr std::uint8_t writeCommand = 0x52;
}  // namespace opcode

namespace error {
inline constexpr std::uint8_t invalidPdu = 0x04;
inline constexpr std::uint8_t requestNotSupported = 0x06;
inline constexpr std::uint8_t attributeNotFound = 0x0A;
}  // namespace error

// GATT's attribute types and characteristic properties that discovery reads.
inline constexpr std::uint16_t primaryServiceType = 0x2800;
inline constexpr std::uint16_t characteristicType = 0x2803;
inline constexpr std::uint16_t clientConfigurationType = 0x2902;
namespace property {
inline constexpr std::uint8_t writeWithoutResponse = 0x04;
inline constexpr std::uint8_t write = 0x08;
inline constexpr std::uint8_t notify = 0x10;
}  // namespace property

// ATT_MTU on LE: every link starts at the default; a client may offer up to
// the maximum.
inline constexpr std::uint16_t defaultMtu = 23;
inline constexpr std::uint16_t maxMtu = 517;

// The ATT_MTU both sides use once one has offered `ours` and the other
// `theirs`: the smaller, but never below the default (a peer offering less
// than 23 is taken as offering 23).
std::uint16_t agreedMtu(std::uint16_t ours, std::uint16_t theirs);

// The most value bytes one write or notification carries at `mtu`: the
// opcode and the handle take 3.
constexpr std::size_t valueCapacity(std::uint16_t mtu) { return mtu - 3u; }

struct HandleRange {
  std::uint16_t start = 0;
  std::uint16_t end = 0;
  bool operator==(const HandleRange&) const = default;
};

struct ErrorResponse {
  std::uint8_t requestOpcode = 0;
  std::uint16_t handle = 0;
  std::uint8_t code = 0;
  bool operator==(const ErrorResponse&) const = default;
};

// One entry of a Read By Type Response for characteristic declarations.
struct CharacteristicDeclaration {
  std::uint16_t handle = 0;  // the declaration's own
  std::uint8_t properties = 0;
  std::uint16_t valueHandle = 0;
  ServiceUuid uuid{};
  bool operator==(const CharacteristicDeclaration&) const = default;
};

// One entry of a Find Information Response.
struct HandleUuid {
  std::uint16_t handle = 0;
  ServiceUuid uuid{};
  bool operator==(const HandleUuid&) const = default;
};

// A notification's or indication's handle and value; `value` views into the
// PDU it was parsed from.
struct HandleValue {
  std::uint16_t handle = 0;
  Bytes value;
};

Pdu exchangeMtuRequest(std::uint16_t mtu);
Pdu exchangeMtuResponse(std::uint16_t mtu);
// Find By Type Value for the primary service declarations whose value is
// `service`.
Pdu findPrimaryServiceRequest(HandleRange range, const ServiceUuid& service);
Pdu readByTypeRequest(HandleRange range, std::uint16_t type);
Pdu findInformationRequest(HandleRange range);
Pdu writeRequest(std::uint16_t handle, Bytes value);
Pdu writeCommand(std::uint16_t handle, Bytes value);
Pdu handleValueConfirmation();
Pdu errorResponse(const ErrorResponse& error);

std::optional<ErrorResponse> parseErrorResponse(Bytes pdu);
// The MTU of an Exchange MTU Request or Response.
std::optional<std::uint16_t> parseExchangeMtu(Bytes pdu);
// The services' handle ranges; each must start at 1 or later and end no
// earlier than it starts.
std::optional<std::vector<HandleRange>> parseFindByTypeValueResponse(Bytes pdu);
// Characteristic declarations (entries of 7 bytes with a 16-bit UUID or 21
// with a 128-bit one); each value handle must follow its declaration.
std::optional<std::vector<CharacteristicDeclaration>> parseCharacteristicDeclarations(Bytes pdu);
std::optional<std::vector<HandleUuid>> parseFindInformationResponse(Bytes pdu);
// A Handle Value Notification or Indication.
std::optional<HandleValue> parseHandleValue(Bytes pdu);

// What a PDU is, by its opcode: what the receiver owes for it.
enum class PduKind {
  request,       // owes exactly one response
  response,      // answers our one outstanding request
  command,       // owes nothing (an unknown opcode with the command bit set too)
  notification,  // owes nothing
  indication,    // owes a confirmation
  confirmation,  // answers an indication (we send none)
};
// Unknown opcodes without the command bit count as requests, so that they
// get an Error Response as a server owes them.
PduKind kindOf(std::uint8_t opcode);

// The answer a peer with no attributes of its own gives to `request`: its
// receive MTU `mtu` to Exchange MTU, Attribute Not Found at the starting
// handle to the discovery requests, Invalid PDU to a malformed one of those,
// and Request Not Supported to anything else. A server that is a GATT client
// too (bluetoothd is) discovers this client, and drops the link if a request
// goes unanswered.
Pdu answerRequest(Bytes request, std::uint16_t mtu);

// "Write Request", "Exchange MTU Response"; "ATT PDU" for an unknown opcode.
std::string_view opcodeName(std::uint8_t opcode);
// "Write Request (0x12)"
std::string describeOpcode(std::uint8_t opcode);
// "malformed Find Information Response (0x05) of 3 bytes"
std::string describeMalformed(Bytes pdu);
// "Insufficient Authorization"; "Application Error" for 0x80 to 0x9f, the
// names of 0xfd to 0xff; "Reserved Error" for any other code.
std::string_view errorName(std::uint8_t code);
// "0x001c"
std::string formatHandle(std::uint16_t handle);
// "Error Response to Write Request (0x12) on handle 0x0003: Insufficient
// Authorization (0x08)"
std::string describeError(const ErrorResponse& error);

}  // namespace harlo::att
