#include "text/top_level_members.h"

#include "text/flat_object_scan.h"
#include "text/general_members.h"

namespace harlo {

Result<void, ScanFailure> scanTopLevelMembers(std::string_view json, MemberSink& sink) {
  if (scanFlatObject(json, sink)) return {};
  // The quick scanner may have reported members before it declined.
  sink.clear();
  return parseTopLevelMembers(json, sink);
}

}  // namespace harlo
