#include "app/system_log.h"

#include <pthread.h>
#include <syslog.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>

#include "base/write_all.h"

namespace harlo {
namespace {

// How long the log's end waits for the queue to reach the log.
constexpr std::chrono::milliseconds finalFlush{200};
// Linux keeps 15 bytes of a thread name.
constexpr char threadName[] = "harlo-log";

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

std::string_view priorityName(int priority) {
  switch (priority) {
    case LOG_ERR:
      return "err";
    case LOG_WARNING:
      return "warning";
    case LOG_NOTICE:
      return "notice";
  }
  return "info";
}

std::string droppedLine(std::size_t dropped) {
  return std::to_string(dropped) + " log lines dropped";
}

}  // namespace

struct SystemLog::Queue {
  struct Entry {
    int priority;
    std::string text;
  };

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Entry> entries;  // guarded by mutex
  std::size_t dropped = 0;    // guarded by mutex; lines lost since the last one queued
  bool sending = false;       // guarded by mutex; the thread is in syslog()
  bool ending = false;        // guarded by mutex; the log is going away
  bool done = false;          // guarded by mutex; the thread has finished

  // Nothing queued and nothing on its way.
  bool idle() const { return entries.empty() && !sending && dropped == 0; }
};

SystemLog::SystemLog(int copyFd) : queue_(std::make_shared<Queue>()) {
  try {
    thread_ = std::thread([queue = queue_, copyFd] {
      // A thread without its name still works; the name only helps whoever
      // inspects the process.
      (void)pthread_setname_np(pthread_self(), threadName);
      run(queue, copyFd);
    });
  } catch (const std::system_error&) {
    // No thread: the queue fills and every line is counted as dropped, which
    // is what a log that takes nothing costs.
  }
}

SystemLog::~SystemLog() {
  {
    std::lock_guard lock(queue_->mutex);
    queue_->ending = true;
  }
  queue_->changed.notify_all();
  if (!thread_.joinable()) return;
  std::unique_lock lock(queue_->mutex);
  const bool finished = queue_->changed.wait_for(lock, finalFlush, [this] { return queue_->done; });
  lock.unlock();
  if (finished) {
    thread_.join();
  } else {
    // Held in syslog(3) by a log that reads nothing: the process's exit ends
    // it. It owns its share of the queue.
    thread_.detach();
  }
}

void SystemLog::write(Level level, std::string_view line) {
  {
    std::lock_guard lock(queue_->mutex);
    const std::size_t needed = queue_->dropped > 0 ? 2 : 1;
    if (queue_->entries.size() + needed > queuedLines) {
      ++queue_->dropped;
      return;
    }
    if (queue_->dropped > 0) {
      queue_->entries.push_back({LOG_WARNING, droppedLine(queue_->dropped)});
      queue_->dropped = 0;
    }
    queue_->entries.push_back({priorityOf(level), std::string(line)});
  }
  queue_->changed.notify_all();
}

void SystemLog::flush(std::chrono::milliseconds bound) {
  std::unique_lock lock(queue_->mutex);
  queue_->changed.wait_for(lock, bound, [this] { return queue_->idle() || queue_->done; });
}

// Sends the queue to the system log, in order, one syslog(3) call at a time
// outside the lock; when it runs dry with lines dropped meanwhile, says so.
void SystemLog::run(const std::shared_ptr<Queue>& queue, int copyFd) {
  openlog("HarloCompanionHelper", LOG_PID, LOG_USER);
  std::unique_lock lock(queue->mutex);
  for (;;) {
    queue->changed.wait(
        lock, [&] { return !queue->entries.empty() || queue->dropped > 0 || queue->ending; });
    Queue::Entry entry;
    if (!queue->entries.empty()) {
      entry = std::move(queue->entries.front());
      queue->entries.pop_front();
    } else if (queue->dropped > 0) {
      entry = {LOG_WARNING, droppedLine(queue->dropped)};
      queue->dropped = 0;
    } else {
      break;
    }
    queue->sending = true;
    lock.unlock();
    if (copyFd >= 0) {
      // A copy that cannot be written is lost like a line the log drops.
      (void)writeAll(copyFd,
                     "log " + std::string(priorityName(entry.priority)) + ": " + entry.text + "\n");
    }
    // The line is printed with its length, so neither a '%' in it nor a
    // missing terminator matters.
    syslog(entry.priority, "%.*s", static_cast<int>(entry.text.size()), entry.text.data());
    lock.lock();
    queue->sending = false;
    queue->changed.notify_all();
  }
  lock.unlock();
  closelog();
  lock.lock();
  queue->done = true;
  queue->changed.notify_all();
}

}  // namespace harlo
