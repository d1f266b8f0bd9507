#include "app/system_log.h"

#include <syslog.h>

namespace harlo {
namespace {

int priorityOf(Log::Level level) {
  switch (level) {
    case Log::Level::error:
      return LOG_ERR;
    case Log::Level::warning:
      return LOG_WARNING;
    case Log::Level::notice:
      return LOG_NOTICE;
    case Log::Level::info:
      return LOG_INFO;
  }
  return LOG_NOTICE;
}

}  // namespace

SystemLog::SystemLog() { openlog("HarloCompanionHelper", LOG_PID, LOG_USER); }

SystemLog::~SystemLog() { closelog(); }

void SystemLog::write(Level level, std::string_view line) {
  // The line is printed with its length, so neither a '%' in it nor a
  // missing terminator matters.
  syslog(priorityOf(level), "%.*s", static_cast<int>(line.size()), line.data());
}

}  // namespace harlo
