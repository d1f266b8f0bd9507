#include "unix_socket.h"

#include <gtest/gtest.h>
#include <sys/un.h>

#include <string>

namespace harlo {
namespace {

// A path that does not fit a socket address is refused rather than cut
// short (or written past the address), and a missing socket is named in
// the error.
TEST(UnixSocket, RefusesWhatItCannotReach) {
  const std::string tooLong(sizeof(sockaddr_un{}.sun_path), 'x');
  auto refused = connectUnixSocket(tooLong);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), "socket path " + tooLong + ": not between 1 and 107 bytes");

  auto missing = connectUnixSocket("/nonexistent/harlo/client.sock");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), "connect /nonexistent/harlo/client.sock: No such file or directory");
}

}  // namespace
}  // namespace harlo
