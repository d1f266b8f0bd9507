#include "att_pdu.h"

#include <algorithm>
#include <cstdio>

namespace harlo::att {
namespace {

void put16(Pdu& pdu, std::uint16_t value) {
  pdu.push_back(static_cast<std::uint8_t>(value & 0xFF));
  pdu.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::uint16_t get16(Bytes bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

Pdu withRange(std::uint8_t code, HandleRange range) {
  Pdu pdu{code};
  put16(pdu, range.start);
  put16(pdu, range.end);
  return pdu;
}

Pdu withHandleAndValue(std::uint8_t code, std::uint16_t handle, Bytes value) {
  Pdu pdu{code};
  put16(pdu, handle);
  pdu.insert(pdu.end(), value.begin(), value.end());
  return pdu;
}

// A UUID as ATT carries it: 2 bytes (a SIG-assigned 16-bit UUID) or 16,
// least significant first.
std::optional<ServiceUuid> uuidFromWire(Bytes bytes) {
  if (bytes.size() == 2) return shortUuid(get16(bytes, 0));
  if (bytes.size() != 16) return std::nullopt;
  ServiceUuid uuid{};
  std::reverse_copy(bytes.begin(), bytes.end(), uuid.begin());
  return uuid;
}

bool isOpcode(Bytes pdu, std::uint8_t code) { return !pdu.empty() && pdu[0] == code; }

// The requests whose first parameter is a starting handle (of a range to
// search) and that a peer without attributes answers with Attribute Not
// Found, with the length each has when well formed: Find By Type Value has
// at least 2 value bytes, Read By (Group) Type a 2- or 16-byte type.
bool isDiscoveryRequest(std::uint8_t code) {
  return code == opcode::findInformationRequest || code == opcode::findByTypeValueRequest ||
         code == opcode::readByTypeRequest || code == opcode::readByGroupTypeRequest;
}

bool wellFormedDiscoveryRequest(Bytes pdu) {
  switch (pdu[0]) {
    case opcode::findInformationRequest:
      return pdu.size() == 5;
    case opcode::findByTypeValueRequest:
      return pdu.size() >= 7;
    default:
      return pdu.size() == 7 || pdu.size() == 21;
  }
}

}  // namespace

std::uint16_t agreedMtu(std::uint16_t ours, std::uint16_t theirs) {
  return std::max(defaultMtu, std::min(ours, theirs));
}

Pdu exchangeMtuRequest(std::uint16_t mtu) {
  Pdu pdu{opcode::exchangeMtuRequest};
  put16(pdu, mtu);
  return pdu;
}

Pdu exchangeMtuResponse(std::uint16_t mtu) {
  Pdu pdu{opcode::exchangeMtuResponse};
  put16(pdu, mtu);
  return pdu;
}

Pdu findPrimaryServiceRequest(HandleRange range, const ServiceUuid& service) {
  Pdu pdu = withRange(opcode::findByTypeValueRequest, range);
  put16(pdu, primaryServiceType);
  pdu.insert(pdu.end(), service.rbegin(), service.rend());
  return pdu;
}

Pdu readByTypeRequest(HandleRange range, std::uint16_t type) {
  Pdu pdu = withRange(opcode::readByTypeRequest, range);
  put16(pdu, type);
  return pdu;
}

Pdu findInformationRequest(HandleRange range) {
  return withRange(opcode::findInformationRequest, range);
}

Pdu writeRequest(std::uint16_t handle, Bytes value) {
  return withHandleAndValue(opcode::writeRequest, handle, value);
}

Pdu writeCommand(std::uint16_t handle, Bytes value) {
  return withHandleAndValue(opcode::writeCommand, handle, value);
}

Pdu handleValueConfirmation() { return Pdu{opcode::handleValueConfirmation}; }

Pdu errorResponse(const ErrorResponse& error) {
  Pdu pdu{opcode::errorResponse, error.requestOpcode};
  put16(pdu, error.handle);
  pdu.push_back(error.code);
  return pdu;
}

std::optional<ErrorResponse> parseErrorResponse(Bytes pdu) {
  if (!isOpcode(pdu, opcode::errorResponse) || pdu.size() != 5) return std::nullopt;
  return ErrorResponse{pdu[1], get16(pdu, 2), pdu[4]};
}

std::optional<std::uint16_t> parseExchangeMtu(Bytes pdu) {
  if (pdu.size() != 3) return std::nullopt;
  if (pdu[0] != opcode::exchangeMtuRequest && pdu[0] != opcode::exchangeMtuResponse) {
    return std::nullopt;
  }
  return get16(pdu, 1);
}

std::optional<std::vector<HandleRange>> parseFindByTypeValueResponse(Bytes pdu) {
  if (!isOpcode(pdu, opcode::findByTypeValueResponse) || pdu.size() < 5 ||
      (pdu.size() - 1) % 4 != 0) {
    return std::nullopt;
  }
  std::vector<HandleRange> ranges;
  for (std::size_t at = 1; at < pdu.size(); at += 4) {
    const HandleRange range{get16(pdu, at), get16(pdu, at + 2)};
    if (range.start == 0 || range.end < range.start) return std::nullopt;
    ranges.push_back(range);
  }
  return ranges;
}

std::optional<std::vector<CharacteristicDeclaration>> parseCharacteristicDeclarations(Bytes pdu) {
  if (!isOpcode(pdu, opcode::readByTypeResponse) || pdu.size() < 2) return std::nullopt;
  const std::size_t length = pdu[1];
  if ((length != 7 && length != 21) || pdu.size() == 2 || (pdu.size() - 2) % length != 0) {
    return std::nullopt;
  }
  std::vector<CharacteristicDeclaration> declarations;
  for (std::size_t at = 2; at < pdu.size(); at += length) {
    CharacteristicDeclaration declaration;
    declaration.handle = get16(pdu, at);
    declaration.properties = pdu[at + 2];
    declaration.valueHandle = get16(pdu, at + 3);
    declaration.uuid = *uuidFromWire(pdu.subspan(at + 5, length - 5));
    if (declaration.handle == 0 || declaration.valueHandle <= declaration.handle) {
      return std::nullopt;
    }
    declarations.push_back(declaration);
  }
  return declarations;
}

std::optional<std::vector<HandleUuid>> parseFindInformationResponse(Bytes pdu) {
  if (!isOpcode(pdu, opcode::findInformationResponse) || pdu.size() < 2) return std::nullopt;
  const std::size_t uuidLength = pdu[1] == 1 ? 2 : pdu[1] == 2 ? 16 : 0;
  const std::size_t length = uuidLength + 2;
  if (uuidLength == 0 || pdu.size() == 2 || (pdu.size() - 2) % length != 0) return std::nullopt;
  std::vector<HandleUuid> entries;
  for (std::size_t at = 2; at < pdu.size(); at += length) {
    const std::uint16_t handle = get16(pdu, at);
    if (handle == 0) return std::nullopt;
    entries.push_back({handle, *uuidFromWire(pdu.subspan(at + 2, uuidLength))});
  }
  return entries;
}

std::optional<HandleValue> parseHandleValue(Bytes pdu) {
  if (pdu.size() < 3) return std::nullopt;
  if (pdu[0] != opcode::handleValueNotification && pdu[0] != opcode::handleValueIndication) {
    return std::nullopt;
  }
  return HandleValue{get16(pdu, 1), pdu.subspan(3)};
}

PduKind kindOf(std::uint8_t code) {
  switch (code) {
    case opcode::handleValueNotification:
    case 0x23:  // Multiple Handle Value Notification
      return PduKind::notification;
    case opcode::handleValueIndication:
      return PduKind::indication;
    case opcode::handleValueConfirmation:
      return PduKind::confirmation;
    case opcode::errorResponse:
    case 0x21:  // Read Multiple Variable Response
      return PduKind::response;
    default:
      break;
  }
  if ((code & 0x40) != 0) return PduKind::command;
  // Below 0x20 every response has an odd opcode, every request an even one.
  if (code < 0x20 && (code & 0x01) != 0) return PduKind::response;
  return PduKind::request;
}

Pdu answerRequest(Bytes request, std::uint16_t mtu) {
  const std::uint8_t code = request.empty() ? 0 : request[0];
  if (code == opcode::exchangeMtuRequest && request.size() == 3) return exchangeMtuResponse(mtu);
  if (isDiscoveryRequest(code) && wellFormedDiscoveryRequest(request)) {
    return errorResponse({code, get16(request, 1), error::attributeNotFound});
  }
  if (isDiscoveryRequest(code) || code == opcode::exchangeMtuRequest) {
    return errorResponse({code, 0, error::invalidPdu});
  }
  return errorResponse({code, 0, error::requestNotSupported});
}

std::string_view opcodeName(std::uint8_t code) {
  switch (code) {
    case opcode::errorResponse:
      return "Error Response";
    case opcode::exchangeMtuRequest:
      return "Exchange MTU Request";
    case opcode::exchangeMtuResponse:
      return "Exchange MTU Response";
    case opcode::findInformationRequest:
      return "Find Information Request";
    case opcode::findInformationResponse:
      return "Find Information Response";
    case opcode::findByTypeValueRequest:
      return "Find By Type Value Request";
    case opcode::findByTypeValueResponse:
      return "Find By Type Value Response";
    case opcode::readByTypeRequest:
      return "Read By Type Request";
    case opcode::readByTypeResponse:
      return "Read By Type Response";
    case opcode::readByGroupTypeRequest:
      return "Read By Group Type Request";
    case opcode::writeRequest:
      return "Write Request";
    case opcode::writeResponse:
      return "Write Response";
    case opcode::handleValueNotification:
      return "Handle Value Notification";
    case opcode::handleValueIndication:
      return "Handle Value Indication";
    case opcode::handleValueConfirmation:
      return "Handle Value Confirmation";
    case opcode::writeCommand:
      return "Write Command";
    default:
      return "ATT PDU";
  }
}

std::string describeOpcode(std::uint8_t code) {
  char hex[5];
  std::snprintf(hex, sizeof hex, "0x%02x", code);
  return std::string(opcodeName(code)) + " (" + hex + ")";
}

std::string describeMalformed(Bytes pdu) {
  if (pdu.empty()) return "empty ATT PDU";
  return "malformed " + describeOpcode(pdu[0]) + " of " + std::to_string(pdu.size()) + " bytes";
}

std::string_view errorName(std::uint8_t code) {
  static constexpr std::string_view names[] = {
      "Reserved Error",
      "Invalid Handle",
      "Read Not Permitted",
      "Write Not Permitted",
      "Invalid PDU",
      "Insufficient Authentication",
      "Request Not Supported",
      "Invalid Offset",
      "Insufficient Authorization",
      "Prepare Queue Full",
      "Attribute Not Found",
      "Attribute Not Long",
      "Insufficient Encryption Key Size",
      "Invalid Attribute Value Length",
      "Unlikely Error",
      "Insufficient Encryption",
      "Unsupported Group Type",
      "Insufficient Resources",
      "Database Out Of Sync",
      "Value Not Allowed",
  };
  if (code < std::size(names)) return names[code];
  if (code >= 0x80 && code <= 0x9F) return "Application Error";
  if (code == 0xFD) return "Client Characteristic Configuration Descriptor Improperly Configured";
  if (code == 0xFE) return "Procedure Already in Progress";
  if (code == 0xFF) return "Out of Range";
  return names[0];
}

std::string formatHandle(std::uint16_t handle) {
  char text[7];
  std::snprintf(text, sizeof text, "0x%04x", handle);
  return text;
}

std::string describeError(const ErrorResponse& error) {
  char code[5];
  std::snprintf(code, sizeof code, "0x%02x", error.code);
  return "Error Response to " + describeOpcode(error.requestOpcode) + " on handle " +
         formatHandle(error.handle) + ": " + std::string(errorName(error.code)) + " (" + code + ")";
}

}  // namespace harlo::att
