#include "rfcomm/hello_check.h"

#include <gtest/gtest.h>

#include <string>

namespace harlo {
namespace {

// Which lines are hellos: the two substrings, then a strict parse, a
// top-level object and its own "type" member equal to "hello".
TEST(HelloCheck, RecognisesExactlyTopLevelHelloObjects) {
  struct Case {
    const char* line;
    bool hello;
  };
  const Case cases[] = {
      {R"({"type":"hello"})", true},
      {R"({"type": "hello"})", true},
      {R"({"type": "hello", "version": 1})", true},
      {R"({"version":1,"type":"hello"})", true},
      {" \t{\"type\":\"hello\"}\r", true},
      {R"({"a":[1,{"type":"x"}],"b":{"c":{}},"type":"hello"})", true},
      {R"({"type":"hello","a":{"type":"bye"},"b":[{"type":"bye"}]})", true},
      {R"({"type":"hello","extra":null,"n":-1.5e3,"t":true})", true},
      {R"({"type" : "hello"})", false},   // space before the colon
      {R"({"type":  "hello"})", false},   // two spaces after it
      {"{\"type\":\t\"hello\"}", false},  // a tab after it
      {R"({"type":"hello_ack"})", false},
      {R"({"type":"HELLO"})", false},
      {R"({"type":"hello "})", false},
      {R"({"payload":{"type":"hello"}})", false},
      {R"({"type":{"type":"hello"}})", false},
      {R"({"type":["x"],"a":{"type":"hello"}})", false},
      {R"({"x":[{"type":"hello"}]})", false},
      {R"([{"type":"hello"}])", false},
      {R"("type":"hello")", false},
      {R"({"type":"hello"} x)", false},
      {R"({"type":"hello"}{})", false},
      {"{\"type\":\"hello\"} // note", false},
      {R"(/* c */ {"type":"hello"})", false},
      {R"({"type":"hello",})", false},
      {R"({"type":"hello")", false},
      {R"({"type":"hello","n":NaN})", false},
      {R"({"type":"hello","s":'x'})", false},
      {"", false},
      {"hello", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isHelloLine(c.line), c.hello) << c.line;
  }
}

// A raw NUL after the object is trailing data like any other, not an end.
TEST(HelloCheck, RefusesANulAfterTheObject) {
  using namespace std::string_literals;
  EXPECT_FALSE(isHelloLine("{\"type\":\"hello\"}\0"s));
  EXPECT_FALSE(isHelloLine("{\"type\":\"hello\"}\0 x"s));
}

}  // namespace
}  // namespace harlo
