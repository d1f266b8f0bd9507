// The system log as the helper's Log: syslog(3) with the ident
// "HarloCompanionHelper" and the process id, so that
// `journalctl -t HarloCompanionHelper` (or the syslog file where there is no
// journal) shows what the helper logged. Where no log daemon listens, the
// lines are dropped: standard error is never used instead.
#pragma once

#include "base/log.h"

namespace harlo {

class SystemLog final : public Log {
 public:
  // Opens the connection to the system log lazily, on the first line.
  SystemLog();
  ~SystemLog() override;
  SystemLog(const SystemLog&) = delete;
  SystemLog& operator=(const SystemLog&) = delete;

  void write(Level level, std::string_view line) override;
};

}  // namespace harlo
