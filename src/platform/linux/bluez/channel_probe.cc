#include "platform/linux/bluez/channel_probe.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/linux/bluez/rfcomm_socket_address.h"

namespace harlo::platform {

ChannelState probeRfcommChannel(const BluetoothAddress& adapter, std::uint8_t channel) {
  const int fd = ::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, rfcommProtocol);
  if (fd < 0) return ChannelState::unavailable;
  RfcommSocketAddress address{};
  address.family = AF_BLUETOOTH;
  std::copy(adapter.begin(), adapter.end(), address.deviceAddress);
  address.channel = channel;
  const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int reason = errno;
  ::close(fd);
  return bound < 0 && reason == EADDRINUSE ? ChannelState::taken : ChannelState::free;
}

}  // namespace harlo::platform
