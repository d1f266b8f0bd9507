#include "platform/linux/run_loop.h"

#include <systemd/sd-event.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/linux/systemd_library.h"

namespace harlo::platform {
namespace {

// One fd watch. The callback lives in a shared state so that a callback that
// destroys its own watch (a channel closing itself on end of file) keeps the
// function it is running alive until it returns.
class IoWatch final : public RunLoop::FdWatch {
 public:
  using Callback = std::function<void(std::uint32_t)>;

  explicit IoWatch(Callback onReady) : onReady_(std::make_shared<Callback>(std::move(onReady))) {}

  ~IoWatch() override { systemd().sd_event_source_disable_unref(source_); }

  IoWatch(const IoWatch&) = delete;
  IoWatch& operator=(const IoWatch&) = delete;

  Status attach(sd_event* event, int fd, std::uint32_t events) {
    return systemd().sd_event_add_io(event, &source_, fd, events, &IoWatch::dispatch, this);
  }

  Status setEvents(std::uint32_t events) override {
    return systemd().sd_event_source_set_io_events(source_, events);
  }

 private:
  static int dispatch(sd_event_source*, int, std::uint32_t revents, void* userdata) {
    const std::shared_ptr<Callback> onReady = static_cast<IoWatch*>(userdata)->onReady_;
    (*onReady)(revents);
    return 0;
  }

  std::shared_ptr<Callback> onReady_;
  sd_event_source* source_ = nullptr;
};

// One timer, on CLOCK_MONOTONIC, the clock of std::chrono::steady_clock. The
// callback is shared for the same reason as an IoWatch's.
class MonotonicTimer final : public RunLoop::Timer {
 public:
  using Callback = std::function<void()>;

  explicit MonotonicTimer(Callback onExpired)
      : onExpired_(std::make_shared<Callback>(std::move(onExpired))) {}

  ~MonotonicTimer() override { systemd().sd_event_source_disable_unref(source_); }

  MonotonicTimer(const MonotonicTimer&) = delete;
  MonotonicTimer& operator=(const MonotonicTimer&) = delete;

  Status attach(sd_event* event) {
    const int added = systemd().sd_event_add_time(event, &source_, CLOCK_MONOTONIC, 0, 0,
                                                  &MonotonicTimer::dispatch, this);
    if (added < 0) return added;
    return systemd().sd_event_source_set_enabled(source_, SD_EVENT_OFF);
  }

  Status setDeadline(std::optional<Clock::time_point> deadline) override {
    if (!deadline) return systemd().sd_event_source_set_enabled(source_, SD_EVENT_OFF);
    const auto since = deadline->time_since_epoch();
    const auto usec = std::chrono::ceil<std::chrono::microseconds>(since).count();
    const int set = systemd().sd_event_source_set_time(source_, static_cast<std::uint64_t>(usec));
    if (set < 0) return set;
    return systemd().sd_event_source_set_enabled(source_, SD_EVENT_ONESHOT);
  }

 private:
  static int dispatch(sd_event_source*, std::uint64_t, void* userdata) {
    const std::shared_ptr<Callback> onExpired = static_cast<MonotonicTimer*>(userdata)->onExpired_;
    (*onExpired)();
    return 0;
  }

  std::shared_ptr<Callback> onExpired_;
  sd_event_source* source_ = nullptr;
};

}  // namespace

Result<std::unique_ptr<RunLoop>, Status> RunLoop::create() {
  if (loadSystemdLibrary() == nullptr) return fail(Status{-ELIBACC});
  sd_event* event = nullptr;
  const int created = systemd().sd_event_new(&event);
  if (created < 0) return fail(Status{created});

  const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    const Status status = -errno;
    systemd().sd_event_unref(event);
    return fail(status);
  }

  std::unique_ptr<RunLoop> loop(new RunLoop(event, wakeFd));
  const int added = systemd().sd_event_add_io(
      event, &loop->wakeSource_, wakeFd, EPOLLIN,
      [](sd_event_source*, int fd, std::uint32_t, void* userdata) -> int {
        std::uint64_t count = 0;
        // The counter only wakes the loop; its value carries nothing, and a
        // failed read (EAGAIN after a spurious wake-up) changes nothing.
        [[maybe_unused]] const ssize_t ignored = read(fd, &count, sizeof count);
        static_cast<RunLoop*>(userdata)->drainPosted();
        return 0;
      },
      loop.get());
  if (added < 0) return fail(Status{added});
  return loop;
}

RunLoop::RunLoop(sd_event* event, int wakeFd)
    : event_(event), wakeFd_(wakeFd), creatorThread_(std::this_thread::get_id()) {}

RunLoop::~RunLoop() {
  // Work still queued is dropped while the loop is whole: destroying it may
  // release objects (a channel, say) whose destructors post to this loop.
  for (;;) {
    std::deque<std::function<void()>> dropped;
    {
      std::lock_guard lock(mutex_);
      dropped.swap(posted_);
    }
    if (dropped.empty()) break;
  }
  systemd().sd_event_source_disable_unref(wakeSource_);
  close(wakeFd_);
  systemd().sd_event_unref(event_);
}

Status RunLoop::run() {
  {
    std::lock_guard lock(mutex_);
    runningThread_ = std::this_thread::get_id();
  }
  Status status = statusOK;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopRequested_) break;
    }
    const int ran = systemd().sd_event_run(event_, UINT64_MAX);
    if (ran < 0) {
      status = ran;
      break;
    }
  }
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = false;
    runningThread_ = std::thread::id();
    if (status != statusOK) {
      failed_ = true;
      dropped.swap(posted_);
    }
  }
  // Waiters of postAndWait() give up; the dropped work is destroyed outside
  // the lock, since destroying it may post.
  settled_.notify_all();
  return status;
}

void RunLoop::stop() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  wake();
}

void RunLoop::post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    if (failed_) return;
    posted_.push_back(std::move(work));
  }
  wake();
}

void RunLoop::wake() {
  const std::uint64_t one = 1;
  // The eventfd counter cannot overflow in practice; a failed write only means
  // the loop is already due to wake.
  [[maybe_unused]] const ssize_t ignored = write(wakeFd_, &one, sizeof one);
}

void RunLoop::postAndWait(std::function<void()> work) {
  if (isLoopThread()) {
    work();
    return;
  }
  // Shared with the posted task, which a failed loop drops unrun after this
  // call has returned.
  const auto done = std::make_shared<bool>(false);  // guarded by mutex_
  post([this, work = std::move(work), done] {
    work();
    std::lock_guard lock(mutex_);
    *done = true;
    settled_.notify_all();
  });
  std::unique_lock lock(mutex_);
  settled_.wait(lock, [&] { return *done || failed_; });
}

bool RunLoop::isLoopThread() const {
  std::lock_guard lock(mutex_);
  const std::thread::id owner =
      runningThread_ == std::thread::id() ? creatorThread_ : runningThread_;
  return owner == std::this_thread::get_id();
}

Result<std::unique_ptr<RunLoop::FdWatch>, Status> RunLoop::watchFd(
    int fd, std::uint32_t events, std::function<void(std::uint32_t)> onReady) {
  auto watch = std::make_unique<IoWatch>(std::move(onReady));
  const Status attached = watch->attach(event_, fd, events);
  if (attached < 0) return fail(attached);
  return std::unique_ptr<FdWatch>(std::move(watch));
}

Result<std::unique_ptr<RunLoop::Timer>, Status> RunLoop::createTimer(
    std::function<void()> onExpired) {
  auto timer = std::make_unique<MonotonicTimer>(std::move(onExpired));
  const Status attached = timer->attach(event_);
  if (attached < 0) return fail(attached);
  return std::unique_ptr<Timer>(std::move(timer));
}

// Runs posted work one item at a time, in order. Once a stop is requested the
// rest stays queued, so that stop() takes effect after the callback in
// progress, and the wake-up is re-armed so that the next run() takes it up.
void RunLoop::drainPosted() {
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard lock(mutex_);
      if (posted_.empty()) return;
      if (stopRequested_) break;
      work = std::move(posted_.front());
      posted_.pop_front();
    }
    work();
  }
  wake();
}

}  // namespace harlo::platform
