#include "platform/linux/bluez/bus_link.h"

#include <cstring>
#include <string>

namespace harlo::platform {
namespace {

constexpr std::chrono::seconds quickRetries{10};
constexpr std::chrono::seconds quickRetry{1};
constexpr std::chrono::seconds slowRetry{5};

}  // namespace

bool BusLink::connect() {
  auto opened = BusConnection::open(loop_);
  if (!opened) {
    // While the bus is being tried again, each failure is the same news.
    if (!reconnecting()) {
      log_.write(Log::Level::error, std::string("cannot connect to the system bus: ") +
                                        std::strerror(-opened.error()));
    }
    return false;
  }
  if (!setup_(opened.value())) return false;
  connection_ = std::move(opened).value();
  return true;
}

void BusLink::lost() {
  connection_.reset();
  lostAt_ = std::chrono::steady_clock::now();
  scheduleRetry();
}

void BusLink::scheduleRetry() {
  if (!retryTimer_) {
    auto timer = loop_.createTimer([this] { retry(); });
    // Without a timer the link cannot come back; the service stays lost,
    // which is the truth.
    if (!timer) return;
    retryTimer_ = std::move(timer).value();
  }
  const auto now = std::chrono::steady_clock::now();
  const auto wait = now - lostAt_ < quickRetries ? quickRetry : slowRetry;
  (void)retryTimer_->setDeadline(now + wait);  // cannot fail on a timer just made
}

void BusLink::retry() {
  if (!connect()) {
    scheduleRetry();
    return;
  }
  retryTimer_.reset();
  log_.write(Log::Level::notice, "connected to the system bus again");
  reconnected_();
}

}  // namespace harlo::platform
