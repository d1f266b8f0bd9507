#include "xml_document.h"

#include <algorithm>
#include <cstdint>

#include "base/utf8_units.h"

namespace harlo::bluez_sim {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isNameStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}

bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// Recursive descent over the document; every method leaves pos_ just past
// what it consumed.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Result<XmlElement, std::string> document() {
    if (auto misc = skipMisc(); !misc) return fail(misc.error());
    if (!startsWith("<") || pos_ + 1 >= text_.size() || !isNameStart(text_[pos_ + 1])) {
      return error("expected the root element");
    }
    auto root = element(1);
    if (!root) return root;
    if (auto misc = skipMisc(); !misc) return fail(misc.error());
    if (pos_ != text_.size()) return error("content after the root element");
    return root;
  }

 private:
  Failure<std::string> error(std::string_view what) const {
    auto line =
        1 + std::count(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(pos_), '\n');
    return fail("XML error on line " + std::to_string(line) + ": " + std::string(what));
  }

  bool startsWith(std::string_view prefix) const { return text_.substr(pos_).starts_with(prefix); }

  void skipSpace() {
    while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
  }

  // Skips `open`...`close`; fails if `close` never comes.
  Result<void, std::string> skipDelimited(std::string_view open, std::string_view close,
                                          std::string_view what) {
    auto end = text_.find(close, pos_ + open.size());
    if (end == std::string_view::npos) return error("unterminated " + std::string(what));
    pos_ = end + close.size();
    return {};
  }

  // Whitespace, comments and processing instructions outside the root.
  Result<void, std::string> skipMisc() {
    for (;;) {
      skipSpace();
      if (startsWith("<!--")) {
        if (auto r = skipDelimited("<!--", "-->", "comment"); !r) return r;
      } else if (startsWith("<?")) {
        if (auto r = skipDelimited("<?", "?>", "processing instruction"); !r) return r;
      } else if (startsWith("<!")) {
        return error("unsupported markup declaration");
      } else {
        return {};
      }
    }
  }

  Result<std::string, std::string> name() {
    if (pos_ >= text_.size() || !isNameStart(text_[pos_])) return error("expected a name");
    auto start = pos_;
    while (pos_ < text_.size() && isNameChar(text_[pos_])) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }

  // At '&': decodes one reference into `out`.
  Result<void, std::string> reference(std::string& out) {
    auto end = text_.find(';', pos_);
    if (end == std::string_view::npos || end - pos_ > 12) return error("bad reference");
    auto body = text_.substr(pos_ + 1, end - pos_ - 1);
    pos_ = end + 1;
    static constexpr std::pair<std::string_view, char> named[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    for (auto [entity, c] : named) {
      if (body == entity) {
        out += c;
        return {};
      }
    }
    if (body.size() < 2 || body[0] != '#') return error("unknown entity");
    bool hex = body[1] == 'x';
    auto digits = body.substr(hex ? 2 : 1);
    if (digits.empty()) return error("bad character reference");
    std::uint32_t cp = 0;
    for (char c : digits) {
      int d = (c >= '0' && c <= '9')          ? c - '0'
              : hex && (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : hex && (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                              : -1;
      if (d < 0) return error("bad character reference");
      cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
      if (cp > 0x10FFFF) return error("character reference out of range");
    }
    if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return error("character reference out of range");
    appendUTF8(out, cp);
    return {};
  }

  Result<std::string, std::string> attributeValue() {
    if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\'')) {
      return error("attribute value must be quoted");
    }
    char quote = text_[pos_++];
    std::string value;
    for (;;) {
      if (pos_ >= text_.size()) return error("unterminated attribute value");
      char c = text_[pos_];
      if (c == quote) {
        ++pos_;
        return value;
      }
      if (c == '<') return error("'<' in attribute value");
      if (c == '&') {
        if (auto r = reference(value); !r) return fail(r.error());
      } else {
        value += c;
        ++pos_;
      }
    }
  }

  // At '<' of a start tag.
  Result<XmlElement, std::string> element(int depth) {
    if (depth > maxXmlDepth) return error("elements nested too deeply");
    ++pos_;
    auto elementName = name();
    if (!elementName) return fail(elementName.error());
    XmlElement element;
    element.name = std::move(elementName.value());
    for (;;) {
      auto before = pos_;
      skipSpace();
      if (startsWith("/>")) {
        pos_ += 2;
        return element;
      }
      if (startsWith(">")) {
        ++pos_;
        break;
      }
      if (pos_ == before)
        return error("expected whitespace, '>' or '/>' in <" + element.name + ">");
      auto key = name();
      if (!key) return fail(key.error());
      skipSpace();
      if (!startsWith("=")) return error("expected '=' after attribute " + key.value());
      ++pos_;
      skipSpace();
      auto value = attributeValue();
      if (!value) return fail(value.error());
      if (element.attribute(key.value()) != nullptr)
        return error("duplicate attribute " + key.value());
      element.attributes.emplace_back(std::move(key.value()), std::move(value.value()));
    }
    if (auto r = content(element, depth); !r) return fail(r.error());
    return element;
  }

  // After the '>' of `element`'s start tag, through its end tag.
  Result<void, std::string> content(XmlElement& element, int depth) {
    for (;;) {
      if (pos_ >= text_.size()) return error("<" + element.name + "> is not closed");
      if (startsWith("</")) {
        pos_ += 2;
        auto closing = name();
        if (!closing) return fail(closing.error());
        if (closing.value() != element.name) {
          return error("</" + closing.value() + "> closes <" + element.name + ">");
        }
        skipSpace();
        if (!startsWith(">")) return error("expected '>' after </" + element.name);
        ++pos_;
        return {};
      }
      if (startsWith("<!--")) {
        if (auto r = skipDelimited("<!--", "-->", "comment"); !r) return r;
      } else if (startsWith("<?")) {
        if (auto r = skipDelimited("<?", "?>", "processing instruction"); !r) return r;
      } else if (startsWith("<!")) {
        return error("unsupported markup in <" + element.name + ">");
      } else if (startsWith("<")) {
        auto child = this->element(depth + 1);
        if (!child) return fail(child.error());
        element.children.push_back(std::move(child.value()));
      } else if (startsWith("&")) {
        if (auto r = reference(element.text); !r) return r;
      } else {
        element.text += text_[pos_++];
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

const std::string* XmlElement::attribute(std::string_view key) const {
  for (const auto& [k, v] : attributes) {
    if (k == key) return &v;
  }
  return nullptr;
}

namespace {

// An XML document in UTF-8 must be well-formed UTF-8 throughout.
bool isWellFormedUTF8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const UTF8Unit unit = scanUTF8Unit(bytes.substr(i));
    if (!unit.wellFormed) return false;
    i += unit.length;
  }
  return true;
}

}  // namespace

Result<XmlElement, std::string> parseXmlDocument(std::string_view document) {
  if (!isWellFormedUTF8(document))
    return fail(std::string("XML error: the record is not valid UTF-8"));
  return Parser(document).document();
}

}  // namespace harlo::bluez_sim
