#include "platform/linux/stop_signal_thread.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace harlo::platform {
namespace {

constexpr int stopSignals[] = {SIGTERM, SIGINT, SIGHUP};
// Linux keeps 15 bytes of a thread name.
constexpr char threadName[] = "harlo-signals";

sigset_t stopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : stopSignals) sigaddset(&set, signal);
  return set;
}

std::string signalName(std::uint32_t signal) {
  switch (signal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
  }
  return "a signal";
}

// From now on the stop signals end the process in this thread: their default
// action, whatever disposition the process inherited.
void letTheNextSignalEndTheProcess() {
  for (const int signal : stopSignals) ::signal(signal, SIG_DFL);
  const sigset_t set = stopSignalSet();
  // Should this fail, a second signal waits, blocked, as the first did.
  (void)pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

Result<std::unique_ptr<StopSignalThread>, Status> StopSignalThread::start() {
  const sigset_t set = stopSignalSet();
  if (const int blocked = pthread_sigmask(SIG_BLOCK, &set, nullptr); blocked != 0) {
    return fail(Status{-blocked});
  }
  const int signalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd < 0) return fail(Status{-errno});
  const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    const Status status = -errno;
    ::close(signalFd);
    return fail(status);
  }
  std::unique_ptr<StopSignalThread> watcher(new StopSignalThread(signalFd, wakeFd));
  try {
    watcher->thread_ = std::thread([self = watcher.get()] {
      // A thread without its name still works; the name only helps whoever
      // inspects the process.
      (void)pthread_setname_np(pthread_self(), threadName);
      self->run();
    });
  } catch (const std::system_error& failure) {
    return fail(Status{-failure.code().value()});
  }
  return watcher;
}

StopSignalThread::~StopSignalThread() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t woken = ::write(wakeFd_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  ::close(signalFd_);
  ::close(wakeFd_);
  // The thread that took the signals is gone; whatever is left of the
  // process's life, a second one must still end it.
  if (taken_) letTheNextSignalEndTheProcess();
}

void StopSignalThread::onRequest(std::function<void(std::string_view name)> requested) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !calling_; });
  receiver_ = std::move(requested);
  changed_.notify_all();
}

void StopSignalThread::run() {
  const std::optional<std::string> name = awaitSignal();
  if (!name) return;
  letTheNextSignalEndTheProcess();
  std::unique_lock lock(mutex_);
  taken_ = true;
  changed_.wait(lock, [this] { return receiver_ || ending_; });
  if (receiver_) {
    const auto receiver = receiver_;
    calling_ = true;
    lock.unlock();
    receiver(*name);
    lock.lock();
    calling_ = false;
    changed_.notify_all();
  }
  // The thread stays, unblocking the signals, until the object goes.
  changed_.wait(lock, [this] { return ending_; });
}

std::optional<std::string> StopSignalThread::awaitSignal() {
  for (;;) {
    pollfd entries[] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(entries, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;  // no way left to wait: the signals stay blocked
    }
    if (entries[1].revents != 0) return std::nullopt;
    signalfd_siginfo info{};
    if (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      return signalName(info.ssi_signo);
    }
  }
}

}  // namespace harlo::platform
