#include "rfcomm/hello_check.h"

#include <array>
#include <optional>

#include "text/picked_members.h"
#include "text/top_level_members.h"

namespace harlo {
namespace {

constexpr std::string_view helloMember = R"("type":"hello")";
constexpr std::string_view spacedHelloMember = R"("type": "hello")";

}  // namespace

bool isHelloLine(std::string_view line) {
  // Most client lines are not hellos: only those holding one of the two
  // spellings are parsed at all.
  if (line.find(helloMember) == std::string_view::npos &&
      line.find(spacedHelloMember) == std::string_view::npos) {
    return false;
  }
  // A text that does not parse, or whose top level is not an object (an
  // array, say), has no top-level "type" and is not a hello.
  constexpr std::array<std::string_view, 1> names = {"type"};
  std::array<std::optional<MemberValue>, 1> slots;
  PickedMembers members(names, slots);
  if (!scanTopLevelMembers(line, members)) return false;
  const std::optional<MemberValue>& type = slots[0];
  return type.has_value() && type->type == JSONType::string && type->text == "hello";
}

}  // namespace harlo
