#include "reference_utf8.h"

#include <cstdint>

namespace harlo::fuzz {
namespace {

// The byte range allowed at one position of a sequence.
struct ByteRange {
  std::uint8_t low;
  std::uint8_t high;
};

// A well-formed sequence: its length and the range of each byte after the
// lead (the lead itself is already known to fit).
struct SequenceShape {
  int length;
  ByteRange following[3];
};

constexpr ByteRange tail{0x80, 0xBF};

// The shape a lead byte announces, or a length of 0 when the byte cannot
// start any sequence (C0, C1, F5..FF and the continuation bytes 80..BF).
SequenceShape shapeOf(std::uint8_t lead) {
  if (lead <= 0x7F) return {1, {}};
  if (lead >= 0xC2 && lead <= 0xDF) return {2, {tail}};
  if (lead == 0xE0) return {3, {{0xA0, 0xBF}, tail}};
  if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) return {3, {tail, tail}};
  if (lead == 0xED) return {3, {{0x80, 0x9F}, tail}};
  if (lead == 0xF0) return {4, {{0x90, 0xBF}, tail, tail}};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, {tail, tail, tail}};
  if (lead == 0xF4) return {4, {{0x80, 0x8F}, tail, tail}};
  return {0, {}};
}

constexpr std::string_view replacement = "\xEF\xBF\xBD";

}  // namespace

std::string referenceRepairUTF8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    // A run of ASCII bytes goes over as it is.
    const std::size_t ascii = at;
    while (at < bytes.size() && static_cast<std::uint8_t>(bytes[at]) <= 0x7F) ++at;
    out.append(bytes.substr(ascii, at - ascii));
    if (at == bytes.size()) break;

    const SequenceShape shape = shapeOf(static_cast<std::uint8_t>(bytes[at]));
    if (shape.length == 0) {
      out += replacement;
      ++at;
      continue;
    }
    // Count the bytes that fit the shape; a shortfall makes the fitting
    // prefix one maximal ill-formed subpart.
    std::size_t fitting = 1;
    while (fitting < static_cast<std::size_t>(shape.length) && at + fitting < bytes.size()) {
      const auto byte = static_cast<std::uint8_t>(bytes[at + fitting]);
      const ByteRange range = shape.following[fitting - 1];
      if (byte < range.low || byte > range.high) break;
      ++fitting;
    }
    if (fitting == static_cast<std::size_t>(shape.length)) {
      out.append(bytes.substr(at, fitting));
    } else {
      out += replacement;
    }
    at += fitting;
  }
  return out;
}

bool referenceIsValidUTF8(std::string_view bytes) { return referenceRepairUTF8(bytes) == bytes; }

}  // namespace harlo::fuzz
