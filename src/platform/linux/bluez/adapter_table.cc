#include "platform/linux/bluez/adapter_table.h"

#include <algorithm>

namespace harlo::platform {
namespace {

void apply(AdapterTable::Adapter& adapter, const AdapterProperties& properties) {
  if (properties.address) adapter.address = *properties.address;
  if (properties.powered) adapter.powered = *properties.powered;
}

}  // namespace

void AdapterTable::replace(const std::vector<std::pair<std::string, AdapterProperties>>& adapters,
                           std::uint32_t answerSerial) {
  known_ = true;
  staleUpTo_ = answerSerial;
  adapters_.clear();
  for (const auto& [path, properties] : adapters) apply(findOrAdd(path), properties);
}

void AdapterTable::forget() {
  known_ = false;
  staleUpTo_.reset();
  adapters_.clear();
}

void AdapterTable::added(const std::string& path, const AdapterProperties& properties,
                         std::uint32_t serial) {
  if (takes(serial)) apply(findOrAdd(path), properties);
}

void AdapterTable::removed(const std::string& path, std::uint32_t serial) {
  if (!takes(serial)) return;
  std::erase_if(adapters_, [&](const Adapter& adapter) { return adapter.path == path; });
}

void AdapterTable::changed(const std::string& path, const AdapterProperties& properties,
                           std::uint32_t serial) {
  if (!takes(serial)) return;
  if (Adapter* adapter = find(path)) apply(*adapter, properties);
}

std::optional<bool> AdapterTable::poweredAdapterPresent() const {
  if (!known_) return std::nullopt;
  return std::any_of(adapters_.begin(), adapters_.end(),
                     [](const Adapter& adapter) { return adapter.powered; });
}

bool AdapterTable::takes(std::uint32_t serial) {
  if (!known_) return false;
  if (!staleUpTo_) return true;
  // Modulo 2^32: a serial up to 2^31 - 1 past the answer's is newer.
  if (static_cast<std::int32_t>(serial - *staleUpTo_) <= 0) return false;
  staleUpTo_.reset();
  return true;
}

AdapterTable::Adapter& AdapterTable::findOrAdd(const std::string& path) {
  if (Adapter* known = find(path)) return *known;
  Adapter& adapter = adapters_.emplace_back();
  adapter.path = path;
  return adapter;
}

AdapterTable::Adapter* AdapterTable::find(const std::string& path) {
  const auto at = std::find_if(adapters_.begin(), adapters_.end(),
                               [&](const Adapter& adapter) { return adapter.path == path; });
  return at == adapters_.end() ? nullptr : &*at;
}

std::vector<AdapterChange> adapterChanges(const std::vector<AdapterTable::Adapter>& before,
                                          const std::vector<AdapterTable::Adapter>& after) {
  const auto findIn = [](const std::vector<AdapterTable::Adapter>& adapters,
                         const std::string& path) {
    return std::find_if(adapters.begin(), adapters.end(),
                        [&](const AdapterTable::Adapter& adapter) { return adapter.path == path; });
  };
  std::vector<AdapterChange> changes;
  for (const AdapterTable::Adapter& adapter : after) {
    const auto was = findIn(before, adapter.path);
    if (was == before.end()) {
      changes.push_back({AdapterChange::Kind::added, adapter});
    } else if (was->powered != adapter.powered) {
      changes.push_back({AdapterChange::Kind::powerChanged, adapter});
    }
  }
  for (const AdapterTable::Adapter& adapter : before) {
    if (findIn(after, adapter.path) == after.end()) {
      changes.push_back({AdapterChange::Kind::removed, adapter});
    }
  }
  return changes;
}

std::string describeAdapter(const AdapterTable::Adapter& adapter) {
  return adapter.path + " " + (adapter.address.empty() ? "(no address)" : adapter.address) +
         (adapter.powered ? " powered on" : " powered off");
}

}  // namespace harlo::platform
