#include "service_uuid.h"

namespace harlo {

std::string formatServiceUuid(const ServiceUuid& uuid) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t byte = 0; byte < uuid.size(); ++byte) {
    if (byte == 4 || byte == 6 || byte == 8 || byte == 10) text += '-';
    text += digits[uuid[byte] >> 4];
    text += digits[uuid[byte] & 0x0F];
  }
  return text;
}

}  // namespace harlo
