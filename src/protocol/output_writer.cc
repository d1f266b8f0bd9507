#include "protocol/output_writer.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>
#include <vector>

#include "protocol/helper_message_json.h"

namespace harlo {
namespace {

constexpr std::size_t retainedLineBytes = 64 * 1024;
// Chunks handed to one writev() by the thread, and the size up to which
// short lines are gathered into one chunk.
constexpr std::size_t maxBatchChunks = 64;
constexpr std::size_t chunkBytes = 64 * 1024;
// Linux keeps 15 bytes of a thread name.
constexpr char threadName[] = "harlo-stdout";

void setEventFd(int fd, bool readable) {
  // An eventfd is readable while its counter is not zero. Neither call can
  // fail on a non-blocking eventfd in a way that matters: reading a zero
  // counter leaves it zero, and one write cannot overflow it.
  std::uint64_t value = 1;
  if (readable) {
    [[maybe_unused]] const ssize_t ignored = ::write(fd, &value, sizeof value);
  } else {
    [[maybe_unused]] const ssize_t ignored = ::read(fd, &value, sizeof value);
  }
}

}  // namespace

std::string WriteError::description() const {
  return "write failed: " + std::generic_category().message(errnum);
}

OutputWriter::OutputWriter(int fd, std::size_t backlogLimit)
    : OutputWriter(fd, backlogLimit, makeEventFds()) {
  // The object is whole from here on: should the thread not start, its
  // destructor releases what the other constructor made.
  thread_ = std::thread([this] {
    // A thread without its name still works; the name only helps whoever
    // inspects the process.
    (void)pthread_setname_np(pthread_self(), threadName);
    run();
  });
}

OutputWriter::OutputWriter(int fd, std::size_t backlogLimit, EventFds events)
    : fd_(fd),
      access_(accessOf(fd)),
      backlogLimit_(backlogLimit),
      wakeFd_(events.wake),
      roomFd_(events.room) {}

OutputWriter::Access OutputWriter::accessOf(int fd) {
  struct stat status {};
  const bool known = fstat(fd, &status) == 0;
  const int flags = fcntl(fd, F_GETFL);
  if (known && S_ISSOCK(status.st_mode)) return Access::send;
  // Non-blocking, a file that never makes a writer wait, or not open at all
  // (every write then fails at once, as it should).
  if (!known || flags < 0 || (flags & O_NONBLOCK) != 0 || S_ISREG(status.st_mode) ||
      S_ISBLK(status.st_mode)) {
    return Access::write;
  }
  return Access::pollFirst;
}

OutputWriter::EventFds OutputWriter::makeEventFds() {
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  const int room = eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
  if (room < 0) {
    const int reason = errno;
    ::close(wake);
    throw std::system_error(reason, std::generic_category(), "eventfd");
  }
  return {wake, room};
}

OutputWriter::~OutputWriter() {
  close();
  if (thread_.joinable()) thread_.join();
  ::close(wakeFd_);
  ::close(roomFd_);
}

Result<void, WriteError> OutputWriter::emitMessage(const HelperMessage& message) {
  return emitMessage(HelperMessageView::of(message));
}

Result<void, WriteError> OutputWriter::emitMessage(const HelperMessageView& message) {
  std::unique_lock lock(mutex_);
  return emitLocked(lock, message, false);
}

Result<void, WriteError> OutputWriter::emitEvent(std::string_view event,
                                                 std::optional<std::string_view> detail,
                                                 const RequestId* id) {
  return emitMessage(
      HelperMessageView{.kind = "event", .event = event, .detail = detail, .id = id});
}

Result<void, WriteError> OutputWriter::emitError(std::string_view message, const RequestId* id) {
  return emitMessage(HelperMessageView{.kind = "error", .detail = message, .id = id});
}

Result<void, WriteError> OutputWriter::finish(std::string_view event, std::string_view detail,
                                              const RequestId* id) {
  std::unique_lock lock(mutex_);
  return emitLocked(
      lock, HelperMessageView{.kind = "event", .event = event, .detail = detail, .id = id}, true);
}

Result<void, WriteError> OutputWriter::emitLocked(std::unique_lock<std::mutex>& lock,
                                                  const HelperMessageView& message, bool last) {
  if (closed_ || finished_) return fail(WriteError{EPIPE});
  // Set before the line goes, under the same lock: no other line can follow
  // the last one, whatever the other threads do, and whatever becomes of it.
  finished_ = last;
  if (failed_) return fail(WriteError{*failed_});
  line_.clear();
  appendHelperMessageJSON(line_, message);
  line_ += '\n';
  std::string_view rest = line_;
  std::optional<int> failure;
  bool wake = false;
  bool changed = false;
  if (queue_.empty()) {
    const Result<std::size_t, int> taken = writeNow(rest);
    if (taken) {
      rest.remove_prefix(taken.value());
    } else {
      failure = taken.error();
      changed = failLocked(taken.error());
    }
  }
  if (!failure && !rest.empty()) {
    wake = queue_.empty();
    changed = queueLocked(line_.size() - rest.size());
  }
  // One rare long line must not keep its buffer for the rest of the run.
  if (line_.capacity() > retainedLineBytes) std::string().swap(line_);
  lock.unlock();
  if (wake) wakeThread();
  if (changed && behindChanged_) behindChanged_();
  if (failure) return fail(WriteError{*failure});
  return {};
}

Result<std::size_t, int> OutputWriter::writeNow(std::string_view bytes) const {
  std::size_t taken = 0;
  while (taken < bytes.size()) {
    const char* start = bytes.data() + taken;
    std::size_t length = bytes.size() - taken;
    ssize_t written = 0;
    if (access_ == Access::send) {
      written = ::send(fd_, start, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else if (access_ == Access::write) {
      written = ::write(fd_, start, length);
    } else {
      // Blocking: only PIPE_BUF bytes, and only when poll() finds room for
      // them, which a pipe with room takes without waiting.
      pollfd entry{fd_, POLLOUT, 0};
      const int ready = ::poll(&entry, 1, 0);
      if (ready < 0 && errno != EINTR) return fail(int{errno});
      if (ready <= 0) break;
      length = std::min<std::size_t>(length, PIPE_BUF);
      written = ::write(fd_, start, length);
    }
    if (written > 0) {
      taken += static_cast<std::size_t>(written);
      continue;
    }
    if (written == 0) return fail(int{EIO});  // no progress and no reason: give up
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    return fail(int{errno});
  }
  return taken;
}

bool OutputWriter::queueLocked(std::size_t written) {
  queuedBytes_ += line_.size() - written;
  if (queue_.empty()) {
    frontWritten_ = written;
  } else if (queue_.back().size() + line_.size() <= chunkBytes) {
    // Short lines share chunks: a backlog of them costs its bytes, not an
    // allocation each.
    queue_.back() += line_;
    line_.clear();
  }
  if (!line_.empty()) {
    // The line itself, not a copy: a long one is never held twice.
    queue_.push_back(std::move(line_));
    line_.clear();
  }
  if (behind_ || queuedBytes_ <= backlogLimit_) return false;
  behind_.store(true, std::memory_order_relaxed);
  setEventFd(roomFd_, false);
  return true;
}

bool OutputWriter::dequeueLocked(std::size_t bytes) {
  queuedBytes_ -= bytes;
  while (bytes > 0) {
    const std::size_t left = queue_.front().size() - frontWritten_;
    if (bytes < left) {
      frontWritten_ += bytes;
      break;
    }
    bytes -= left;
    queue_.pop_front();
    frontWritten_ = 0;
  }
  if (queue_.empty()) settled_.notify_all();
  if (!behind_ || queuedBytes_ >= backlogLimit_ / 2) return false;
  behind_.store(false, std::memory_order_relaxed);
  setEventFd(roomFd_, true);
  return true;
}

// Nothing is written after a failed write: a line may be cut, and whatever
// follows it could not be read as lines any more. What waits is dropped, and
// whoever waits for room gets it, to learn of the failure at the next emit.
bool OutputWriter::failLocked(int errnum) {
  failed_ = errnum;
  queue_.clear();
  queuedBytes_ = 0;
  frontWritten_ = 0;
  setEventFd(roomFd_, true);
  settled_.notify_all();
  return behind_.exchange(false, std::memory_order_relaxed);
}

bool OutputWriter::drain(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return settled_.wait_until(lock, deadline, [this] { return queue_.empty(); });
}

void OutputWriter::close() {
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    queue_.clear();
    queuedBytes_ = 0;
    frontWritten_ = 0;
    changed = behind_.exchange(false, std::memory_order_relaxed);
    setEventFd(roomFd_, true);
    settled_.notify_all();
  }
  wakeThread();
  if (changed && behindChanged_) behindChanged_();
}

bool OutputWriter::behind() const { return behind_.load(std::memory_order_relaxed); }

void OutputWriter::wakeThread() const { setEventFd(wakeFd_, true); }

// The thread: waits for news or for room on the descriptor, and writes the
// queue as the descriptor takes it, until the writer is closed.
void OutputWriter::run() {
  for (;;) {
    bool writing = false;
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      writing = !queue_.empty();
    }
    pollfd entries[] = {{wakeFd_, POLLIN, 0}, {fd_, POLLOUT, 0}};
    if (::poll(entries, writing ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      // The thread can no longer wait for the descriptor: the output has
      // failed as a write would have.
      const int reason = errno;
      std::unique_lock lock(mutex_);
      const bool changed = failLocked(reason);
      lock.unlock();
      if (changed && behindChanged_) behindChanged_();
      lock.lock();
      settled_.wait(lock, [this] { return closed_; });
      return;
    }
    if (entries[0].revents != 0) setEventFd(wakeFd_, false);
    if (writing && entries[1].revents != 0) writeQueue();
  }
}

void OutputWriter::writeQueue() {
  std::unique_lock lock(mutex_);
  if (closed_ || failed_ || queue_.empty()) return;
  ssize_t written = 0;
  if (access_ == Access::pollFirst) {
    // A blocking descriptor: at most PIPE_BUF bytes, which a pipe that polled
    // writable takes without blocking, written outside the lock so that no
    // emit waits for it. Only this thread takes bytes off the queue.
    const std::string_view front = std::string_view(queue_.front()).substr(frontWritten_);
    const std::string chunk(front.substr(0, std::min<std::size_t>(front.size(), PIPE_BUF)));
    lock.unlock();
    written = ::write(fd_, chunk.data(), chunk.size());
    lock.lock();
    if (closed_) return;
  } else {
    std::vector<iovec> batch;
    batch.reserve(std::min(queue_.size(), maxBatchChunks));
    for (std::size_t i = 0; i < queue_.size() && batch.size() < maxBatchChunks; ++i) {
      const std::size_t skip = i == 0 ? frontWritten_ : 0;
      batch.push_back(iovec{queue_[i].data() + skip, queue_[i].size() - skip});
    }
    if (access_ == Access::send) {
      msghdr message{};
      message.msg_iov = batch.data();
      message.msg_iovlen = batch.size();
      written = ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
      written = ::writev(fd_, batch.data(), static_cast<int>(batch.size()));
    }
  }
  bool changed = false;
  if (written > 0) {
    changed = dequeueLocked(static_cast<std::size_t>(written));
  } else if (written == 0) {
    changed = failLocked(EIO);
  } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
    changed = failLocked(errno);
  }
  lock.unlock();
  if (changed && behindChanged_) behindChanged_();
}

}  // namespace harlo
