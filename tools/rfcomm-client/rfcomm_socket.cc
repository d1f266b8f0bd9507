#include "rfcomm_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace harlo {
namespace {

// The kernel's RFCOMM socket address (include/net/bluetooth/rfcomm.h),
// declared here so that the client needs no Bluetooth development package.
constexpr int addressFamilyBluetooth = 31;  // AF_BLUETOOTH
constexpr int protocolRFCOMM = 3;           // BTPROTO_RFCOMM

struct RFCOMMAddress {
  sa_family_t family;
  std::uint8_t address[6];  // least significant byte first
  std::uint8_t channel;
};
static_assert(sizeof(RFCOMMAddress) == 10);

RFCOMMAddress makeAddress(const BluetoothAddress& address, std::uint8_t channel) {
  RFCOMMAddress socketAddress{};
  socketAddress.family = addressFamilyBluetooth;
  std::memcpy(socketAddress.address, address.data(), address.size());
  socketAddress.channel = channel;
  return socketAddress;
}

std::string failure(const char* step, int error) {
  return std::string(step) + ": " + std::strerror(error);
}

// Waits for a non-blocking connect to finish; 0 or the errno it ended with.
int awaitConnect(int fd, std::chrono::milliseconds timeout) {
  pollfd entry{fd, POLLOUT, 0};
  int ready;
  while ((ready = ::poll(&entry, 1, static_cast<int>(timeout.count()))) < 0 && errno == EINTR) {
  }
  if (ready < 0) return errno;
  if (ready == 0) return ETIMEDOUT;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return errno;
  return error;
}

}  // namespace

Result<int, std::string> connectRFCOMM(const ClientOptions& options) {
  const int fd =
      ::socket(addressFamilyBluetooth, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, protocolRFCOMM);
  if (fd < 0) return fail(failure("socket", errno));
  auto closeWith = [fd](std::string message) {
    ::close(fd);
    return fail(std::move(message));
  };
  if (options.local) {
    // Channel 0 lets the kernel pick a free local channel.
    const RFCOMMAddress local = makeAddress(*options.local, 0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
      return closeWith(failure("bind", errno));
    }
  }
  const RFCOMMAddress remote = makeAddress(options.remote, options.channel);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) < 0) {
    if (errno != EINPROGRESS) return closeWith(failure("connect", errno));
    if (int error = awaitConnect(fd, options.connectTimeout)) {
      return closeWith(failure("connect", error));
    }
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    return closeWith(failure("fcntl", errno));
  }
  return fd;
}

}  // namespace harlo
