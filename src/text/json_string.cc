#include "text/json_string.h"

#include <array>

#include "text/skip_plain_words.h"
#include "text/utf8.h"

namespace harlo {
namespace {

// Bytes that cannot be copied as they are: the ASCII characters that are
// escaped, and every non-ASCII byte (checked as UTF-8 before it is copied).
constexpr std::array<bool, 256> needsAttention = [] {
  std::array<bool, 256> table{};
  for (int byte = 0; byte < 0x20; ++byte) table[byte] = true;
  table['"'] = true;
  table['\\'] = true;
  table['/'] = true;
  for (int byte = 0x80; byte < 0x100; ++byte) table[byte] = true;
  return table;
}();

void appendEscape(std::string& out, unsigned char byte) {
  switch (byte) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '/':
      out += "\\/";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  constexpr std::string_view hexDigits = "0123456789abcdef";
  out += "\\u00";
  out += hexDigits[byte >> 4];
  out += hexDigits[byte & 0x0F];
}

// The length of a byte's escape, for a byte that needs attention and is not
// part of a UTF-8 sequence.
std::size_t escapeLength(unsigned char byte) {
  switch (byte) {
    case '"':
    case '\\':
    case '/':
    case '\b':
    case '\f':
    case '\n':
    case '\r':
    case '\t':
      return 2;
    default:
      return 6;
  }
}

}  // namespace

std::size_t jsonStringLength(std::string_view text) {
  std::size_t length = 2;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x80) {
      const UTF8Unit unit = scanUTF8Unit(text.substr(i));
      length += unit.wellFormed ? unit.length : replacementCharacterUTF8.size();
      i += unit.length;
      continue;
    }
    length += needsAttention[byte] ? escapeLength(byte) : 1;
    ++i;
  }
  return length;
}

void appendJSONString(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  // Bytes that need nothing are copied in runs; runStart is the first byte
  // not yet copied.
  std::size_t runStart = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    i = skipPlainWords(text, i, /*slashNeedsAttention=*/true);
    if (i == text.size()) break;
    const auto byte = static_cast<unsigned char>(text[i]);
    if (!needsAttention[byte]) {
      ++i;
      continue;
    }
    if (byte >= 0x80) {
      const UTF8Unit unit = scanUTF8Unit(text.substr(i));
      if (unit.wellFormed) {
        i += unit.length;
        continue;
      }
      out.append(text.substr(runStart, i - runStart));
      out.append(replacementCharacterUTF8);
      i += unit.length;
    } else {
      out.append(text.substr(runStart, i - runStart));
      appendEscape(out, byte);
      ++i;
    }
    runStart = i;
  }
  out.append(text.substr(runStart));
  out += '"';
}

}  // namespace harlo
