#include "text/json_integer.h"

#include <limits>
#include <string>

namespace harlo {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Beyond this magnitude an exponent is saturated: no text of any possible
// length has that many digits, so the outcome is the same.
constexpr std::int64_t exponentBound = 1'000'000'000'000'000;

// Largest number of decimal digits a 64-bit magnitude may have.
constexpr std::int64_t maxDigits = 19;

}  // namespace

JSONIntegerReading readJSONInteger(std::string_view token) {
  using Status = JSONIntegerReading::Status;
  std::size_t i = 0;
  const bool negative = i < token.size() && token[i] == '-';
  if (negative) ++i;

  // All mantissa digits, integer part then fraction; the number is
  // digits * 10^exponent.
  std::string digits;
  std::int64_t exponent = 0;
  for (; i < token.size() && isDigit(token[i]); ++i) digits += token[i];
  if (i < token.size() && token[i] != 'e' && token[i] != 'E') {
    for (++i; i < token.size() && isDigit(token[i]); ++i) {
      digits += token[i];
      --exponent;
    }
  }
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    ++i;
    const bool negativeExponent = i < token.size() && token[i] == '-';
    if (i < token.size() && (token[i] == '-' || token[i] == '+')) ++i;
    std::int64_t written = 0;
    for (; i < token.size() && isDigit(token[i]); ++i) {
      if (written < exponentBound) written = written * 10 + (token[i] - '0');
    }
    exponent += negativeExponent ? -written : written;
  }

  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return {Status::integer, 0};
  const std::size_t last = digits.find_last_not_of('0');
  exponent += static_cast<std::int64_t>(digits.size() - 1 - last);
  if (exponent < 0) return {Status::notInteger};
  const auto significant = static_cast<std::int64_t>(last - first + 1);
  if (significant + exponent > maxDigits) return {Status::outOfRange};

  // At most 19 digits: below 10^19, which fits an unsigned 64-bit value.
  std::uint64_t magnitude = 0;
  for (std::size_t k = first; k <= last; ++k) {
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(digits[k] - '0');
  }
  for (std::int64_t k = 0; k < exponent; ++k) magnitude *= 10;

  constexpr auto maxPositive = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (magnitude > maxPositive + (negative ? 1 : 0)) return {Status::outOfRange};
  if (!negative) return {Status::integer, static_cast<std::int64_t>(magnitude)};
  if (magnitude == maxPositive + 1) {
    return {Status::integer, std::numeric_limits<std::int64_t>::min()};
  }
  return {Status::integer, -static_cast<std::int64_t>(magnitude)};
}

}  // namespace harlo
