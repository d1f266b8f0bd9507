#include "platform/linux/bluez/adapters.h"

#include <cstring>
#include <string>
#include <utility>

namespace harlo::platform {

Result<std::unique_ptr<Adapters>, Status> Adapters::follow(
    std::shared_ptr<BusConnection> connection, Log& log) {
  auto watch = AdapterWatch::start(std::move(connection));
  if (!watch) return fail(watch.error());
  return std::unique_ptr<Adapters>(new Adapters(std::move(watch).value(), log));
}

void Adapters::read() {
  watch_->read();
  logged_ = watch_->table().adapters();
  if (!watch_->table().poweredAdapterPresent()) return;  // not read
  if (logged_.empty()) {
    log_.write(Log::Level::notice, "bluetoothd has no adapter");
    return;
  }
  for (const AdapterTable::Adapter& adapter : logged_) {
    log_.write(Log::Level::notice, "adapter " + describeAdapter(adapter));
  }
}

void Adapters::forget() {
  watch_->forget();
  told_.reset();
}

void Adapters::tell(BluetoothServiceObserver* observer) {
  if (observer == nullptr) return;
  const std::optional<bool> present = watch_->table().poweredAdapterPresent();
  if (!present || present == told_) return;
  told_ = present;
  observer->poweredAdapterPresent(*present);
}

void Adapters::logChanges() {
  const std::vector<AdapterTable::Adapter>& now = watch_->table().adapters();
  for (const AdapterChange& change : adapterChanges(logged_, now)) {
    switch (change.kind) {
      case AdapterChange::Kind::added:
        log_.write(Log::Level::notice, "adapter added: " + describeAdapter(change.adapter));
        break;
      case AdapterChange::Kind::powerChanged:
        log_.write(Log::Level::notice, "adapter " + describeAdapter(change.adapter));
        break;
      case AdapterChange::Kind::removed:
        log_.write(Log::Level::notice, "adapter removed: " + change.adapter.path);
        break;
    }
  }
  logged_ = now;
}

std::vector<BluetoothAddress> Adapters::addresses() const {
  std::vector<BluetoothAddress> addresses;
  for (const AdapterTable::Adapter& adapter : watch_->table().adapters()) {
    if (auto address = parseBluetoothAddress(adapter.address)) addresses.push_back(*address);
  }
  return addresses;
}

std::vector<std::string> Adapters::paths() const {
  std::vector<std::string> paths;
  for (const auto& adapter : watch_->table().adapters()) paths.push_back(adapter.path);
  return paths;
}

}  // namespace harlo::platform
