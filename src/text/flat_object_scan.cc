#include "text/flat_object_scan.h"

#include <array>
#include <cstdint>

#include "text/skip_plain_words.h"
#include "text/utf8.h"

namespace harlo {
namespace {

// Nineteen decimal digits may overflow a signed 64-bit integer; eighteen
// never do, so longer numbers are left to the general parser.
constexpr std::size_t maxIntegerDigits = 18;

// String bytes that end a plain run: the closing quote, an escape, a control
// character (never allowed raw) and every non-ASCII byte (checked as UTF-8).
constexpr std::array<bool, 256> endsPlainRun = [] {
  std::array<bool, 256> table{};
  for (int byte = 0; byte < 0x20; ++byte) table[byte] = true;
  table['"'] = true;
  table['\\'] = true;
  for (int byte = 0x80; byte < 0x100; ++byte) table[byte] = true;
  return table;
}();

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One pass over the text; every read returns false to decline.
class FlatScanner {
 public:
  FlatScanner(std::string_view json, MemberSink& sink)
      : at_(json.data()), end_(json.data() + json.size()), sink_(sink) {}

  bool scan() {
    skipSpace();
    if (!consume('{')) return false;
    skipSpace();
    if (!consume('}')) {
      do {
        skipSpace();
        if (!member()) return false;
        skipSpace();
      } while (consume(','));
      if (!consume('}')) return false;
    }
    skipSpace();
    return at_ == end_;
  }

 private:
  bool member() {
    std::string_view key;
    if (!plainKey(key)) return false;
    skipSpace();
    if (!consume(':')) return false;
    skipSpace();
    if (at_ == end_) return false;
    switch (*at_) {
      case '"': {
        std::string* target = sink_.text(key);
        std::string& text = target ? *target : scratch_;
        text.clear();
        return string(text);
      }
      case 't':
        return literal("true", key, JSONType::boolean);
      case 'f':
        return literal("false", key, JSONType::boolean);
      case 'n':
        return literal("null", key, JSONType::null);
      default:
        return integer(key);
    }
  }

  void skipSpace() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
  }

  bool consume(char c) {
    if (at_ == end_ || *at_ != c) return false;
    ++at_;
    return true;
  }

  // A key of plain ASCII: its bytes are its name.
  bool plainKey(std::string_view& key) {
    if (!consume('"')) return false;
    const char* start = at_;
    while (at_ != end_ && !endsPlainRun[static_cast<unsigned char>(*at_)]) ++at_;
    if (!consume('"')) return false;
    key = std::string_view(start, static_cast<std::size_t>(at_ - start - 1));
    return true;
  }

  bool string(std::string& out) {
    ++at_;  // the opening quote
    const std::string_view rest(at_, static_cast<std::size_t>(end_ - at_));
    for (;;) {
      const char* run = at_;
      for (;;) {
        at_ = rest.data() + skipPlainWords(rest, static_cast<std::size_t>(at_ - rest.data()),
                                           /*slashNeedsAttention=*/false);
        if (at_ == end_ || endsPlainRun[static_cast<unsigned char>(*at_)]) break;
        ++at_;
      }
      if (at_ == end_) return false;
      const auto byte = static_cast<unsigned char>(*at_);
      if (byte == '"' && out.empty()) {
        // A text read in one run gets one spare byte: a protocol payload is
        // sent on with a line feed appended, which then costs no new copy.
        out.reserve(static_cast<std::size_t>(at_ - run) + 1);
      }
      out.append(run, at_);
      if (byte == '"') {
        ++at_;
        return true;
      }
      if (byte == '\\') {
        if (!escape(out)) return false;
      } else if (byte >= 0x80) {
        const UTF8Unit unit =
            scanUTF8Unit(std::string_view(at_, static_cast<std::size_t>(end_ - at_)));
        if (!unit.wellFormed) return false;
        out.append(at_, unit.length);
        at_ += unit.length;
      } else {
        return false;  // a raw control character
      }
    }
  }

  bool escape(std::string& out) {
    if (end_ - at_ < 2) return false;
    const char kind = at_[1];
    at_ += 2;
    switch (kind) {
      case '"':
      case '\\':
      case '/':
        out += kind;
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u':
        return unicodeEscape(out);
      default:
        return false;
    }
  }

  // After `\u`: four hex digits, and for a high surrogate the `\u` escape of
  // its low surrogate. Lone surrogates are left to the general parser.
  bool unicodeEscape(std::string& out) {
    std::uint32_t code = 0;
    if (!hexQuad(code)) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
      std::uint32_t low = 0;
      if (end_ - at_ < 2 || at_[0] != '\\' || at_[1] != 'u') return false;
      at_ += 2;
      if (!hexQuad(low) || low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUTF8(out, code);
    return true;
  }

  bool hexQuad(std::uint32_t& code) {
    if (end_ - at_ < 4) return false;
    for (int i = 0; i < 4; ++i) {
      const int digit = hexValue(at_[i]);
      if (digit < 0) return false;
      code = code * 16 + static_cast<std::uint32_t>(digit);
    }
    at_ += 4;
    return true;
  }

  bool literal(std::string_view word, std::string_view key, JSONType type) {
    if (static_cast<std::size_t>(end_ - at_) < word.size() ||
        std::string_view(at_, word.size()) != word) {
      return false;
    }
    at_ += word.size();
    sink_.other(key, type);
    return true;
  }

  // -?(0|[1-9][0-9]*) with at most maxIntegerDigits digits, not followed by
  // a fraction, an exponent or another digit.
  bool integer(std::string_view key) {
    const bool negative = consume('-');
    const char* digits = at_;
    std::int64_t value = 0;
    while (at_ != end_ && *at_ >= '0' && *at_ <= '9') {
      // Past the limit the number is declined below; it is not accumulated.
      if (static_cast<std::size_t>(at_ - digits) < maxIntegerDigits)
        value = value * 10 + (*at_ - '0');
      ++at_;
    }
    const auto count = static_cast<std::size_t>(at_ - digits);
    if (count == 0 || count > maxIntegerDigits || (count > 1 && *digits == '0')) return false;
    if (at_ != end_ && (*at_ == '.' || *at_ == 'e' || *at_ == 'E')) return false;
    sink_.number(key, {JSONIntegerReading::Status::integer, negative ? -value : value}, {});
    return true;
  }

  const char* at_;
  const char* end_;
  MemberSink& sink_;
  std::string scratch_;  // the text of a string member that is not kept
};

}  // namespace

bool scanFlatObject(std::string_view json, MemberSink& sink) {
  return FlatScanner(json, sink).scan();
}

}  // namespace harlo
