// PickedMembers: the values of the top-level members picked by name, as a
// MemberSink fills them in, one slot per name.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "text/top_level_members.h"

namespace harlo {

// Keeps the value of the last member named names[i] in slots[i]; members with
// other names are skipped. `slots` has one entry per entry of `names`, all
// empty on entry; a slot stays empty while no member has its name. Both
// spans must outlive the sink.
class PickedMembers final : public MemberSink {
 public:
  PickedMembers(std::span<const std::string_view> names,
                std::span<std::optional<MemberValue>> slots)
      : names_(names), slots_(slots) {}

  std::string* text(std::string_view key) override;
  void number(std::string_view key, JSONIntegerReading integer, std::string_view written) override;
  void other(std::string_view key, JSONType type) override;
  void clear() override;

 private:
  // The slot of the member named `key`, emptied and typed for its new value,
  // or null when the member is not kept.
  MemberValue* take(std::string_view key, JSONType type);

  std::span<const std::string_view> names_;
  std::span<std::optional<MemberValue>> slots_;
};

}  // namespace harlo
