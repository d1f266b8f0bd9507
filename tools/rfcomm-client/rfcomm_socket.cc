#include "rfcomm_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "connect_wait.h"

namespace harlo {
namespace {

// The kernel's RFCOMM socket address (include/net/bluetooth/rfcomm.h).
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

}  // namespace

Result<int, std::string> connectRFCOMM(const ClientOptions& options, std::uint8_t channel) {
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
  const RFCOMMAddress remote = makeAddress(options.remote, channel);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) < 0 &&
      errno != EINPROGRESS) {
    return closeWith(failure("connect", errno));
  }
  if (int error = finishConnect(fd, options.connectTimeout)) {
    return closeWith(failure("connect", error));
  }
  return fd;
}

}  // namespace harlo
