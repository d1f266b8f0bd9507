#include "text/picked_members.h"

#include <algorithm>

namespace harlo {

std::string* PickedMembers::text(std::string_view key) {
  MemberValue* slot = take(key, JSONType::string);
  return slot ? &slot->text : nullptr;
}

void PickedMembers::number(std::string_view key, JSONIntegerReading integer,
                           std::string_view written) {
  if (MemberValue* slot = take(key, JSONType::number)) {
    slot->integer = integer;
    slot->numberText = written;
  }
}

void PickedMembers::other(std::string_view key, JSONType type) { take(key, type); }

void PickedMembers::clear() { std::fill(slots_.begin(), slots_.end(), std::nullopt); }

MemberValue* PickedMembers::take(std::string_view key, JSONType type) {
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
