// A small XML reader for the service records that profiles register.
//
// It reads one document into a tree and fails on anything that is not
// well-formed: mismatched or unclosed tags, a bad attribute, an unknown
// entity, text that is not UTF-8, content after the root element. It knows
// the markup a service record uses (elements, attributes, character and
// entity references, comments, processing instructions such as the XML
// declaration) and refuses the rest (DOCTYPE, CDATA) as unsupported. Pure;
// safe from any thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"

namespace harlo::bluez_sim {

struct XmlElement {
  std::string name;
  // In document order, values with references decoded.
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<XmlElement> children;
  // The element's own character data (not its children's), decoded.
  std::string text;

  // The value of attribute `key`, or nullptr.
  const std::string* attribute(std::string_view key) const;
};

// Elements nest at most this deep; a deeper document is refused rather than
// read with unbounded recursion.
inline constexpr int maxXmlDepth = 64;

// Parses `document`. The error names the problem and its line.
Result<XmlElement, std::string> parseXmlDocument(std::string_view document);

}  // namespace harlo::bluez_sim
