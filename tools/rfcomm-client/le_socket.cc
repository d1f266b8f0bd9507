#include "le_socket.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/l2cap.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "connect_wait.h"
#include "poll_deadline.h"

namespace harlo {
namespace {

constexpr unsigned short attChannelId = 4;

sockaddr_l2 makeAddress(const BluetoothAddress& address, std::uint8_t type) {
  sockaddr_l2 socketAddress{};
  socketAddress.l2_family = AF_BLUETOOTH;
  static_assert(sizeof socketAddress.l2_bdaddr.b == std::tuple_size_v<BluetoothAddress>);
  // Both least significant byte first.
  std::memcpy(socketAddress.l2_bdaddr.b, address.data(), address.size());
  socketAddress.l2_cid = htobs(attChannelId);
  socketAddress.l2_bdaddr_type = type;
  return socketAddress;
}

std::string failure(const std::string& call, int error) {
  return call + ": " + std::strerror(error);
}

// How long to wait before asking again when the kernel declines to start
// the link's encryption.
constexpr int retryMs = 50;

// Encrypts the link of the connected ATT socket `fd` (BT_SECURITY medium),
// pairing first if the two are not bonded, by `deadline`. Linux may finish
// the connect before its Security Manager is attached to the new link: the
// socket's BT_SECURITY is then left unmet ("security requested but not
// available" in the kernel's log) and the link stays unencrypted. Asking
// again on the connected socket starts the encryption, or fails with EINVAL
// while the Security Manager is not there yet; the socket is then in
// configuration, not writable, until the encryption is done. Returns 0 once
// the link is encrypted, else an errno (the pairing's failure as the socket
// reports it, ETIMEDOUT at the deadline).
int encryptLink(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    bt_security security{};
    socklen_t size = sizeof security;
    if (::getsockopt(fd, SOL_BLUETOOTH, BT_SECURITY, &security, &size) < 0) return errno;
    if (security.level >= BT_SECURITY_MEDIUM) return 0;
    if (std::chrono::steady_clock::now() >= deadline) return ETIMEDOUT;
    security = bt_security{};
    security.level = BT_SECURITY_MEDIUM;
    if (::setsockopt(fd, SOL_BLUETOOTH, BT_SECURITY, &security, sizeof security) < 0) {
      if (errno != EINVAL) return errno;
      ::poll(nullptr, 0, retryMs);
      continue;
    }
    pollfd entry{fd, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, pollTimeout(deadline));
    if (ready < 0 && errno != EINTR) return errno;
    if (ready > 0 && (entry.revents & (POLLERR | POLLHUP)) != 0) {
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return errno;
      return error != 0 ? error : ECONNRESET;
    }
  }
}

}  // namespace

const char* describeAddressType(LeAddressType type) {
  return type == LeAddressType::randomDevice ? "random address" : "public address";
}

Result<int, std::string> connectLEAttribute(const ClientOptions& options) {
  const int fd =
      ::socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, BTPROTO_L2CAP);
  if (fd < 0) return fail(failure("socket(AF_BLUETOOTH, SOCK_SEQPACKET, BTPROTO_L2CAP)", errno));
  auto closeWith = [fd](std::string message) {
    ::close(fd);
    return fail(std::move(message));
  };
  // A socket on a fixed channel is bound as an LE one: to the controller's
  // address, or to any LE controller.
  const BluetoothAddress any{};
  const BluetoothAddress& from = options.local ? *options.local : any;
  const sockaddr_l2 local = makeAddress(from, BDADDR_LE_PUBLIC);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
    return closeWith(failure("bind(" + formatBluetoothAddress(from) + ", ATT channel)", errno));
  }
  bt_security security{};
  security.level = BT_SECURITY_MEDIUM;
  if (::setsockopt(fd, SOL_BLUETOOTH, BT_SECURITY, &security, sizeof security) < 0) {
    return closeWith(failure("setsockopt(SOL_BLUETOOTH, BT_SECURITY, medium)", errno));
  }
  const bool random = options.addressType == LeAddressType::randomDevice;
  const sockaddr_l2 remote =
      makeAddress(options.remote, random ? BDADDR_LE_RANDOM : BDADDR_LE_PUBLIC);
  const std::string connectCall = "connect(" + formatBluetoothAddress(options.remote) + ", " +
                                  describeAddressType(options.addressType) + ", ATT channel)";
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) < 0 &&
      errno != EINPROGRESS) {
    return closeWith(failure(connectCall, errno));
  }
  const auto deadline = std::chrono::steady_clock::now() + options.connectTimeout;
  if (int error = finishConnect(fd, options.connectTimeout)) {
    return closeWith(failure(connectCall, error));
  }
  if (int error = encryptLink(fd, deadline)) {
    return closeWith(failure("encrypting the link to " + formatBluetoothAddress(options.remote) +
                                 " (BT_SECURITY medium)",
                             error));
  }
  return fd;
}

}  // namespace harlo
