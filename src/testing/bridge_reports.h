// BridgeReports: the one collector of RFCOMMBridge's reports, for unit tests
// and fuzz targets (it needs no test framework). The bridge gets its three
// callbacks; each report is kept as text, in the order made, with the thread
// that made it:
//
//   "event <name> | <detail>"  ("<none>" for an absent detail)
//   "error <message>"
//   "protocol <payload>"
//
// Thread safety: the callbacks and every view may be called from any thread.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "rfcomm/rfcomm_bridge.h"

namespace harlo {

class BridgeReports final {
 public:
  RFCOMMBridge::EventCallback eventCallback() {
    return [this](std::string_view event, std::optional<std::string_view> detail) {
      add("event " + std::string(event) + " | " + std::string(detail.value_or("<none>")));
    };
  }
  RFCOMMBridge::ErrorCallback errorCallback() {
    return [this](std::string_view message) { add("error " + std::string(message)); };
  }
  RFCOMMBridge::ProtocolCallback protocolCallback() {
    return [this](std::string_view payload) { add("protocol " + std::string(payload)); };
  }

  // The reports since the last take(), which it clears.
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (Report& report : reports_) texts.push_back(std::move(report.text));
    reports_.clear();
    return texts;
  }

  // The reports not taken, in order: all of them, or those made on `thread`.
  std::vector<std::string> all() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const Report& report : reports_) texts.push_back(report.text);
    return texts;
  }
  std::vector<std::string> on(std::thread::id thread) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const Report& report : reports_) {
      if (report.thread == thread) texts.push_back(report.text);
    }
    return texts;
  }

  // How many reports were made and not taken.
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return reports_.size();
  }

 private:
  struct Report {
    std::thread::id thread;
    std::string text;
  };

  void add(std::string text) {
    std::lock_guard lock(mutex_);
    reports_.push_back({std::this_thread::get_id(), std::move(text)});
  }

  mutable std::mutex mutex_;
  std::vector<Report> reports_;  // guarded by mutex_
};

}  // namespace harlo
