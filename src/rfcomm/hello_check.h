// Recognising a client's hello line.
#pragma once

#include <string_view>

namespace harlo {

// True when `line` (valid UTF-8, without its line feed) is a hello: it
// contains `"type":"hello"` or `"type": "hello"`, parses as exactly one JSON
// text whose top level is an object or an array (JSON whitespace around it
// allowed, nothing else after it, no extensions), the top level is an object,
// and its "type" member is the string "hello". Other members are not
// examined. Only lines that pass the substring test are parsed.
bool isHelloLine(std::string_view line);

}  // namespace harlo
