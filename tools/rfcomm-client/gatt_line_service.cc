#include "gatt_line_service.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "base/write_all.h"

namespace harlo {
namespace {

using Declarations = std::vector<att::CharacteristicDeclaration>;

SessionOutcome attFailure(std::string detail) {
  return {SessionEnd::attFailure, 0, std::move(detail)};
}

std::string outside(std::uint16_t handle, att::HandleRange range) {
  return "handle " + att::formatHandle(handle) + " outside the range asked for, " +
         att::formatHandle(range.start) + "-" + att::formatHandle(range.end);
}

Result<att::HandleRange, SessionOutcome> findService(AttChannel& att) {
  const att::HandleRange everything{0x0001, 0xFFFF};
  auto answer = att.transact(att::findPrimaryServiceRequest(everything, companionServiceUuid),
                             att::opcode::findByTypeValueResponse);
  if (!answer) return fail(answer.error());
  if (auto error = att::parseErrorResponse(answer.value())) {
    if (error->code == att::error::attributeNotFound) {
      return fail(attFailure("no primary service " + formatServiceUuid(companionServiceUuid)));
    }
    return fail(attFailure(att::describeError(*error)));
  }
  auto found = att::parseFindByTypeValueResponse(answer.value());
  if (!found) return fail(attFailure(att::describeMalformed(answer.value())));
  return found->front();
}

// Every characteristic declaration of `service`, in handle order.
Result<Declarations, SessionOutcome> readDeclarations(AttChannel& att, att::HandleRange service) {
  Declarations all;
  att::HandleRange rest = service;
  for (;;) {
    auto answer = att.transact(att::readByTypeRequest(rest, att::characteristicType),
                               att::opcode::readByTypeResponse);
    if (!answer) return fail(answer.error());
    if (auto error = att::parseErrorResponse(answer.value())) {
      if (error->code == att::error::attributeNotFound) return all;
      return fail(attFailure(att::describeError(*error)));
    }
    auto found = att::parseCharacteristicDeclarations(answer.value());
    if (!found) return fail(attFailure(att::describeMalformed(answer.value())));
    for (const auto& declaration : *found) {
      if (declaration.handle < rest.start || declaration.valueHandle > service.end) {
        return fail(
            attFailure("characteristic declaration at " + outside(declaration.handle, rest)));
      }
      all.push_back(declaration);
      if (declaration.handle == service.end) return all;
      rest.start = static_cast<std::uint16_t>(declaration.handle + 1);
    }
  }
}

// The Client Characteristic Configuration descriptor within `range`, the
// descriptors of one characteristic; 0 when it has none.
Result<std::uint16_t, SessionOutcome> findConfiguration(AttChannel& att, att::HandleRange range) {
  const ServiceUuid configuration = shortUuid(att::clientConfigurationType);
  att::HandleRange rest = range;
  while (rest.start <= rest.end) {
    auto answer =
        att.transact(att::findInformationRequest(rest), att::opcode::findInformationResponse);
    if (!answer) return fail(answer.error());
    if (auto error = att::parseErrorResponse(answer.value())) {
      if (error->code == att::error::attributeNotFound) break;
      return fail(attFailure(att::describeError(*error)));
    }
    auto found = att::parseFindInformationResponse(answer.value());
    if (!found) return fail(attFailure(att::describeMalformed(answer.value())));
    for (const auto& entry : *found) {
      if (entry.handle < rest.start || entry.handle > rest.end) {
        return fail(attFailure("descriptor at " + outside(entry.handle, rest)));
      }
      if (entry.uuid == configuration) return entry.handle;
      if (entry.handle == rest.end) return std::uint16_t{0};
      rest.start = static_cast<std::uint16_t>(entry.handle + 1);
    }
  }
  return std::uint16_t{0};
}

std::string named(const ServiceUuid& uuid, std::string_view role) {
  return "characteristic " + formatServiceUuid(uuid) + " (" + std::string(role) + ")";
}

}  // namespace

Result<LineService, SessionOutcome> openLineService(
    AttChannel& att, LeWrite write, int output, const std::function<void(std::string)>& report) {
  auto mtu = att.exchangeMtu();
  if (!mtu) return fail(mtu.error());
  report("ATT MTU " + std::to_string(mtu.value()));

  LineService line;
  auto service = findService(att);
  if (!service) return fail(service.error());
  line.service = service.value();
  auto declarations = readDeclarations(att, line.service);
  if (!declarations) return fail(declarations.error());
  const Declarations& all = declarations.value();
  auto find = [&all](const ServiceUuid& uuid) {
    return std::find_if(all.begin(), all.end(), [&uuid](const auto& d) { return d.uuid == uuid; });
  };
  const auto to = find(toHelperCharacteristicUuid);
  const auto from = find(fromHelperCharacteristicUuid);
  const std::string toName = named(toHelperCharacteristicUuid, "to helper");
  const std::string fromName = named(fromHelperCharacteristicUuid, "from helper");
  const std::string inService = " in service " + formatServiceUuid(companionServiceUuid);
  if (to == all.end()) return fail(attFailure("no " + toName + inService));
  if (from == all.end()) return fail(attFailure("no " + fromName + inService));
  const bool byRequest = write == LeWrite::request;
  const std::uint8_t writeProperty =
      byRequest ? att::property::write : att::property::writeWithoutResponse;
  if ((to->properties & writeProperty) == 0) {
    return fail(
        attFailure(toName + " takes no " + (byRequest ? "Write Request" : "Write Command")));
  }
  if ((from->properties & att::property::notify) == 0) {
    return fail(attFailure(fromName + " does not notify"));
  }
  line.toHelper = to->valueHandle;
  line.fromHelper = from->valueHandle;

  // The descriptors of "from helper" run up to the next declaration.
  const auto next = std::next(from);
  const std::uint16_t fromEnd =
      next == all.end() ? line.service.end : static_cast<std::uint16_t>(next->handle - 1);
  Result<std::uint16_t, SessionOutcome> configuration = std::uint16_t{0};
  if (line.fromHelper < fromEnd) {
    configuration =
        findConfiguration(att, {static_cast<std::uint16_t>(line.fromHelper + 1), fromEnd});
  }
  if (!configuration) return fail(configuration.error());
  if (configuration.value() == 0) {
    return fail(attFailure(fromName + " has no Client Characteristic Configuration descriptor"));
  }
  line.configuration = configuration.value();
  report("service " + formatServiceUuid(companionServiceUuid) + " at handles " +
         att::formatHandle(line.service.start) + "-" + att::formatHandle(line.service.end) +
         ": to helper " + att::formatHandle(line.toHelper) + ", from helper " +
         att::formatHandle(line.fromHelper));

  // Routed before subscribing: the helper may notify as soon as it has the
  // subscription.
  att.setValueSink([output, handle = line.fromHelper](std::uint16_t from, att::Bytes value) {
    if (from != handle) return 0;
    return writeAll(output, {reinterpret_cast<const char*>(value.data()), value.size()});
  });
  static constexpr std::uint8_t notifications[] = {0x01, 0x00};
  auto subscribed =
      att.call(att::writeRequest(line.configuration, notifications), att::opcode::writeResponse);
  if (!subscribed) return fail(subscribed.error());
  report("subscribed to notifications from handle " + att::formatHandle(line.fromHelper));
  return line;
}

}  // namespace harlo
