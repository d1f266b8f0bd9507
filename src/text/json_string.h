// Writing JSON strings the way every line of the helper writes them.
#pragma once

#include <string>
#include <string_view>

namespace harlo {

// Appends `text` to `out` as a quoted JSON string: `"`, `\` and `/` are
// escaped (`/` as `\/`), the control characters U+0000 to U+001F as `\b`,
// `\f`, `\n`, `\r`, `\t` or `\u00XX`; everything else, non-ASCII included, is
// written as plain UTF-8. Each maximal ill-formed UTF-8 subpart of `text` is
// written as U+FFFD, so the result is always valid UTF-8.
void appendJSONString(std::string& out, std::string_view text);

// The length of what appendJSONString appends for `text`, quotes included:
// for reserving room for a long text at once, so that it is never held twice
// while its JSON grows.
std::size_t jsonStringLength(std::string_view text);

}  // namespace harlo
