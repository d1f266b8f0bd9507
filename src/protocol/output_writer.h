// The output writer: puts HelperMessage lines on a file descriptor (standard
// output in the program), one compact JSON object and one line feed per line,
// without ever making the caller wait for whoever reads that descriptor.
//
// A line goes out at once, in one write, when no line waits before it and the
// descriptor takes it whole. Otherwise what is left of it is queued, whole
// lines in order, and the writer's own thread ("harlo-stdout") writes the
// queue as the reader takes it, several lines per write. How the descriptor
// is written depends on what it is:
// - a socket: send() with MSG_DONTWAIT, by the caller or the thread;
// - a non-blocking descriptor (see output_descriptor.h for one of our own) or
//   a regular file: write(), by the caller or the thread;
// - anything else (a blocking pipe or terminal): at most PIPE_BUF bytes at a
//   time, each once poll() says there is room, which does not block either.
//
// Back-pressure: while more than `backlogLimit` bytes wait, the writer is
// behind(); it is no longer behind once less than half of that waits. Lines
// are queued whatever the backlog: nothing is dropped, and it is the callers'
// part to stop producing while the writer is behind (the client is paused,
// the reader waits on roomFd()).
//
// Thread safety: every method may be called from any thread at once. No byte
// of another line ever falls inside a line, and the lines of one thread keep
// that thread's order. The process must ignore SIGPIPE, so that a closed
// reading end is a failed write instead of a killed process.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/result.h"
#include "protocol/helper_message.h"
#include "protocol/helper_message_json.h"

namespace harlo {

// A line that could not be written.
struct WriteError {
  int errnum;                       // errno of the failed write(2), a positive value
  std::string description() const;  // e.g. "write failed: Broken pipe"
};

class OutputWriter final {
 public:
  static constexpr std::size_t defaultBacklogLimit = 1024 * 1024;

  // Starts the writer's thread. `fd` is not owned and must stay open for the
  // writer's life. Throws std::system_error when the thread or the writer's
  // eventfds cannot be made.
  explicit OutputWriter(int fd, std::size_t backlogLimit = defaultBacklogLimit);

  // Ends the output as close() does and joins the thread.
  ~OutputWriter();
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  // Writes `message` as one line, or queues it. Fails with the error of a
  // write that failed (this line's, or an earlier queued line's: once a write
  // has failed, nothing more is written), or with EPIPE after finish() or
  // close(); a failed line leaves nothing behind that could corrupt another.
  Result<void, WriteError> emitMessage(const HelperMessage& message);
  Result<void, WriteError> emitMessage(const HelperMessageView& message);

  // kind "event" with `event` and `detail` (no "detail" key when absent),
  // and `id` when the event answers a request that had one.
  Result<void, WriteError> emitEvent(std::string_view event, std::optional<std::string_view> detail,
                                     const RequestId* id = nullptr);

  // kind "error" with `message` as the detail, and `id` as above.
  Result<void, WriteError> emitError(std::string_view message, const RequestId* id = nullptr);

  // Emits the event as the last line: every emit after it fails with EPIPE
  // and writes nothing, while the lines already queued, this one included,
  // still go out as the reader takes them (see drain()). Fails as an emit
  // does, and then also ends the output's lines.
  Result<void, WriteError> finish(std::string_view event, std::string_view detail,
                                  const RequestId* id = nullptr);

  // Waits until every queued line has been written, a write has failed, or
  // `deadline` has passed. True when nothing waits any more.
  bool drain(std::chrono::steady_clock::time_point deadline);

  // Ends the output: once it returns no byte is written any more, what is
  // queued is dropped, and every emit fails with EPIPE (as after the reading
  // end closed).
  void close();

  // True while the backlog is past the limit (see above).
  bool behind() const;

  // Readable exactly while the writer is not behind(), for a poll() that
  // waits for room. Owned by the writer.
  int roomFd() const { return roomFd_; }

  // Called, on whichever thread made it happen, each time behind() changes;
  // it must not call back into the writer's emits. Set it before the first
  // emit.
  void onBehindChanged(std::function<void()> changed) { behindChanged_ = std::move(changed); }

 private:
  enum class Access {
    send,       // a socket: send() with MSG_DONTWAIT
    write,      // non-blocking, or a file that never blocks: write()
    pollFirst,  // blocking: PIPE_BUF bytes at a time, each after poll() finds room
  };

  // How `fd` can be written without waiting, from what it is.
  static Access accessOf(int fd);
  struct EventFds {
    int wake;
    int room;
  };
  static EventFds makeEventFds();
  OutputWriter(int fd, std::size_t backlogLimit, EventFds events);
  // Emits `message` (the last line when `last`), then unlocks `lock`, so
  // that the thread is woken and the backlog's change told outside it.
  Result<void, WriteError> emitLocked(std::unique_lock<std::mutex>& lock,
                                      const HelperMessageView& message, bool last);
  // Writes what the descriptor takes of `bytes` without waiting: the count
  // taken, or the errno of the failure.
  Result<std::size_t, int> writeNow(std::string_view bytes) const;
  // Queue bookkeeping, under mutex_: true when behind() changed. queueLocked
  // takes line_, of which `written` bytes are out already (only when nothing
  // was queued before it), and leaves it empty.
  bool queueLocked(std::size_t written);
  bool dequeueLocked(std::size_t bytes);
  bool failLocked(int errnum);
  void wakeThread() const;
  void run();
  void writeQueue();

  const int fd_;
  const Access access_;  // how fd_ is written, from what it is
  const std::size_t backlogLimit_;
  const int wakeFd_;  // eventfd: readable when the thread has news (a queue, a close)
  const int roomFd_;  // eventfd: readable while not behind
  std::function<void()> behindChanged_;

  mutable std::mutex mutex_;
  std::condition_variable settled_;  // the queue emptied, a write failed, or closed
  std::string line_;                 // guarded by mutex_; reused so that a line costs no allocation
  // Guarded by mutex_: whole lines in order, gathered into chunks; the
  // first chunk maybe begun.
  std::deque<std::string> queue_;
  std::size_t frontWritten_ = 0;  // guarded by mutex_; bytes of queue_.front() already out
  std::size_t queuedBytes_ = 0;   // guarded by mutex_; bytes in queue_ not yet out
  std::optional<int> failed_;     // guarded by mutex_; errno of the write that failed
  bool finished_ = false;         // guarded by mutex_; no more lines accepted
  bool closed_ = false;           // guarded by mutex_; nothing more written at all
  // Written under mutex_; read without it by behind(), which every line of
  // the reader asks, and whose answer is only ever a hint to wait or go on.
  std::atomic<bool> behind_{false};
  std::thread thread_;
};

}  // namespace harlo
