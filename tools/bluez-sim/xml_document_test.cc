#include "xml_document.h"

#include <gtest/gtest.h>

#include <string>

namespace harlo::bluez_sim {
namespace {

// A document with declaration, comment, attributes and nesting reads into the expected tree.
TEST(XmlDocument, ReadsNestedElementsAndAttributes) {
  auto doc = parseXmlDocument(
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<!-- c -->\n"
      "<record>\n  <attribute id='0x0001'>\n    <uuid value=\"0x1101\" />\n  "
      "</attribute>\n</record>\n");
  ASSERT_TRUE(doc.ok()) << doc.error();
  const XmlElement& root = doc.value();
  EXPECT_EQ(root.name, "record");
  ASSERT_EQ(root.children.size(), 1u);
  const XmlElement& attribute = root.children[0];
  ASSERT_NE(attribute.attribute("id"), nullptr);
  EXPECT_EQ(*attribute.attribute("id"), "0x0001");
  EXPECT_EQ(attribute.attribute("value"), nullptr);
  ASSERT_EQ(attribute.children.size(), 1u);
  EXPECT_EQ(attribute.children[0].name, "uuid");
  EXPECT_EQ(*attribute.children[0].attribute("value"), "0x1101");
  EXPECT_TRUE(attribute.children[0].children.empty());
}

// Entity and character references decode in attribute values and text.
TEST(XmlDocument, DecodesReferences) {
  auto doc = parseXmlDocument("<a v=\"&amp;&lt;&gt;&quot;&apos;&#65;&#x263A;\">x&amp;y</a>");
  ASSERT_TRUE(doc.ok()) << doc.error();
  EXPECT_EQ(*doc.value().attribute("v"), "&<>\"'A\xE2\x98\xBA");
  EXPECT_EQ(doc.value().text, "x&y");
}

// Every document that is not well-formed, or uses unsupported markup, is refused.
TEST(XmlDocument, RefusesMalformedDocuments) {
  const char* cases[] = {
      "",
      "   ",
      "text before <a/>",
      "<a>",
      "<a></b>",
      "<a><b></a></b>",
      "<a/><b/>",
      "<a/> trailing",
      "<a x=1/>",
      "<a x=\"1/>",
      "<a x=\"1\"y=\"2\"/>",
      "<a x=\"1\" x=\"2\"/>",
      "<a x=\"<\"/>",
      "<a>&unknown;</a>",
      "<a>&#0;</a>",
      "<a>&#xD800;</a>",
      "<a>&#x110000;</a>",
      "<a>&amp</a>",
      "<a><!-- open</a>",
      "<a><![CDATA[x]]></a>",
      "<!DOCTYPE a><a/>",
      "<a>\xFF</a>",
      "<1a/>",
  };
  for (const char* text : cases) {
    EXPECT_FALSE(parseXmlDocument(text).ok()) << "accepted: " << text;
  }
}

// The error names the line of the problem.
TEST(XmlDocument, ErrorNamesTheLine) {
  auto doc = parseXmlDocument("<record>\n<attribute>\n</record>");
  ASSERT_FALSE(doc.ok());
  EXPECT_NE(doc.error().find("line 3"), std::string::npos) << doc.error();
}

// Nesting beyond the depth limit is refused instead of recursing without bound.
TEST(XmlDocument, RefusesExcessiveNesting) {
  std::string deep;
  for (int i = 0; i < maxXmlDepth + 1; ++i) deep += "<s>";
  for (int i = 0; i < maxXmlDepth + 1; ++i) deep += "</s>";
  EXPECT_FALSE(parseXmlDocument(deep).ok());
  std::string allowed;
  for (int i = 0; i < maxXmlDepth; ++i) allowed += "<s>";
  for (int i = 0; i < maxXmlDepth; ++i) allowed += "</s>";
  EXPECT_TRUE(parseXmlDocument(allowed).ok());
}

}  // namespace
}  // namespace harlo::bluez_sim
