#include "stdio/stop_request.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace harlo {

Result<std::unique_ptr<StopRequest>, int> StopRequest::create() {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return fail(int{errno});
  return std::unique_ptr<StopRequest>(new StopRequest(fd));
}

StopRequest::~StopRequest() { ::close(fd_); }

void StopRequest::request(Reason reason) {
  if (made_.exchange(true)) return;
  reason_ = std::move(reason);
  published_.store(true, std::memory_order_release);
  const std::uint64_t one = 1;
  // The counter only marks the request; it cannot overflow with one write.
  [[maybe_unused]] const ssize_t ignored = ::write(fd_, &one, sizeof one);
}

std::optional<StopRequest::Reason> StopRequest::requested() const {
  if (!published_.load(std::memory_order_acquire)) return std::nullopt;
  return reason_;
}

}  // namespace harlo
