// RecordingLog: a Log that keeps its lines, for tests to read what the helper
// would have written to the system log. Thread-safe.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/log.h"

namespace harlo {

class RecordingLog final : public Log {
 public:
  void write(Level, std::string_view line) override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
  }

  // The lines written so far, in order.
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;  // guarded by mutex_
};

}  // namespace harlo
