#include "text/member_slots.h"

#include <algorithm>

namespace harlo {

std::string* MemberSlots::text(std::string_view key) {
  MemberValue* slot = take(key, JSONType::string);
  return slot ? &slot->text : nullptr;
}

void MemberSlots::number(std::string_view key, JSONIntegerReading integer,
                         std::string_view written) {
  if (MemberValue* slot = take(key, JSONType::number)) {
    slot->integer = integer;
    slot->numberText = written;
  }
}

void MemberSlots::other(std::string_view key, JSONType type) { take(key, type); }

void MemberSlots::clear() { std::fill(slots_.begin(), slots_.end(), std::nullopt); }

MemberValue* MemberSlots::take(std::string_view key, JSONType type) {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (names_[i] == key) {
      MemberValue& slot = slots_[i].emplace();
      slot.type = type;
      return &slot;
    }
  }
  return nullptr;
}

}  // namespace harlo
