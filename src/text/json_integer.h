// Reading a JSON number as an exact signed 64-bit integer.
#pragma once

#include <cstdint>
#include <string_view>

namespace harlo {

struct JSONIntegerReading {
  enum class Status {
    integer,     // `value` holds the number
    notInteger,  // the number has a non-zero fractional part
    outOfRange,  // an integer outside the signed 64-bit range
  };
  Status status;
  std::int64_t value = 0;  // meaningful only for Status::integer
};

// Reads `token`, one number as JSON writes it (-?digits, an optional
// fraction, an optional exponent), exactly: no rounding through a double, so
// 1.0, 1e0 and 10e-1 read as 1, 1.5 and 1e-400 are not integers, and
// 9223372036854775807.0 is in range while 9223372036854775808.0 and 1e19 are
// not. Any single byte other than a digit, sign or exponent mark is taken as
// the decimal point (a parser may have put the locale's there). The token
// must follow that grammar; it is not validated.
JSONIntegerReading readJSONInteger(std::string_view token);

}  // namespace harlo
