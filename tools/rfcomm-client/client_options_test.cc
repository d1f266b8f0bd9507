#include "client_options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harlo {
namespace {

Result<ClientOptions, std::string> parse(std::vector<std::string_view> args) {
  return parseClientOptions(args);
}

// Only --remote is needed; everything else has its default, the channel
// none: it is looked up by the companion service's UUID.
TEST(ClientOptions, DefaultsWithRemoteOnly) {
  auto options = parse({"--remote", "00:AA:01:00:00:00"});
  ASSERT_TRUE(options.ok()) << options.error();
  EXPECT_EQ(options.value().remote, (BluetoothAddress{0, 0, 0, 1, 0xAA, 0}));
  EXPECT_FALSE(options.value().local.has_value());
  EXPECT_FALSE(options.value().channel.has_value());
  EXPECT_EQ(options.value().service, companionServiceUuid);
  EXPECT_EQ(options.value().idle, std::chrono::milliseconds(1000));
  EXPECT_EQ(options.value().connectTimeout, std::chrono::milliseconds(10000));
}

// Every flag is read, in any order, and a repeated flag keeps its last value.
TEST(ClientOptions, ReadsEveryFlag) {
  auto options =
      parse({"--channel", "7", "--local", "00:AA:01:01:00:01", "--idle-ms", "250", "--remote",
             "00:AA:01:00:00:00", "--connect-timeout-ms", "3000", "--channel", "30"});
  ASSERT_TRUE(options.ok()) << options.error();
  ASSERT_TRUE(options.value().local.has_value());
  EXPECT_EQ(formatBluetoothAddress(*options.value().local), "00:AA:01:01:00:01");
  EXPECT_EQ(options.value().channel, 30);
  EXPECT_EQ(options.value().idle, std::chrono::milliseconds(250));
  EXPECT_EQ(options.value().connectTimeout, std::chrono::milliseconds(3000));
}

// --uuid names the service to look up, --channel skips the lookup whatever
// --uuid says, in either order.
TEST(ClientOptions, ChannelOrServiceToLookUp) {
  constexpr std::string_view remote = "00:AA:01:00:00:00";
  constexpr std::string_view other = "00001101-0000-1000-8000-00805F9B34FB";
  struct Case {
    std::vector<std::string_view> args;
    std::optional<std::uint8_t> channel;
    ServiceUuid service;
  };
  const Case cases[] = {
      {{"--remote", remote, "--uuid", other}, std::nullopt, *parseServiceUuid(other)},
      {{"--remote", remote, "--channel", "2"}, 2, companionServiceUuid},
      {{"--remote", remote, "--uuid", other, "--channel", "5"}, 5, *parseServiceUuid(other)},
      {{"--channel", "5", "--uuid", other, "--remote", remote}, 5, *parseServiceUuid(other)},
  };
  for (const auto& c : cases) {
    auto options = parse(c.args);
    ASSERT_TRUE(options.ok()) << options.error();
    EXPECT_EQ(options.value().channel, c.channel) << c.args.size();
    EXPECT_EQ(options.value().service, c.service) << c.args.size();
  }
}

// --unix names a socket in place of a Bluetooth address and keeps the idle
// time; --help needs nothing else and stops the reading where it stands.
TEST(ClientOptions, UnixSocketAndHelp) {
  auto unix = parse({"--idle-ms", "250", "--unix", "/tmp/bluez-sim/client.sock"});
  ASSERT_TRUE(unix.ok()) << unix.error();
  EXPECT_EQ(unix.value().unixSocket, "/tmp/bluez-sim/client.sock");
  EXPECT_EQ(unix.value().idle, std::chrono::milliseconds(250));
  EXPECT_FALSE(unix.value().help);
  EXPECT_FALSE(parse({"--remote", "00:AA:01:00:00:00"}).value().unixSocket.has_value());

  const std::vector<std::string_view> helpCases[] = {
      {"--help"}, {"--channel", "2", "--help"}, {"--help", "--verbose"}};
  for (const auto& args : helpCases) {
    auto help = parse(args);
    ASSERT_TRUE(help.ok()) << help.error();
    EXPECT_TRUE(help.value().help);
  }
}

// --le takes the RFCOMM link's address options and its own; its flags
// without a value stand anywhere, even between a flag and the next.
TEST(ClientOptions, LowEnergy) {
  auto plain = parse({"--le", "--remote", "00:AA:01:00:00:00"});
  ASSERT_TRUE(plain.ok()) << plain.error();
  EXPECT_TRUE(plain.value().le);
  EXPECT_EQ(plain.value().addressType, LeAddressType::publicDevice);
  EXPECT_EQ(plain.value().mtu, 247);
  EXPECT_EQ(plain.value().write, LeWrite::request);
  EXPECT_FALSE(parse({"--remote", "00:AA:01:00:00:00"}).value().le);

  auto every = parse({"--remote", "7A:00:00:00:00:01", "--without-response", "--address-type",
                      "random", "--mtu", "517", "--le", "--local", "00:AA:01:01:00:01",
                      "--connect-timeout-ms", "30000", "--mtu", "23"});
  ASSERT_TRUE(every.ok()) << every.error();
  EXPECT_EQ(every.value().addressType, LeAddressType::randomDevice);
  EXPECT_EQ(every.value().mtu, 23);
  EXPECT_EQ(every.value().write, LeWrite::command);
  EXPECT_TRUE(every.value().local.has_value());
  EXPECT_EQ(every.value().connectTimeout, std::chrono::milliseconds(30000));
}

// Bad command lines fail with a message that names the problem.
TEST(ClientOptions, RefusesBadCommandLines) {
  struct Case {
    std::vector<std::string_view> args;
    std::string error;
  };
  const Case cases[] = {
      {{}, "--remote or --unix is required"},
      {{"--channel", "2"}, "--remote or --unix is required"},
      {{"--remote"}, "missing value after --remote"},
      {{"--remote", "00:AA"}, "invalid value for --remote: 00:AA"},
      {{"--remote", "00:AA:01:00:00:00", "--channel", "0"}, "invalid value for --channel: 0"},
      {{"--remote", "00:AA:01:00:00:00", "--channel", "31"}, "invalid value for --channel: 31"},
      {{"--remote", "00:AA:01:00:00:00", "--channel", "1x"}, "invalid value for --channel: 1x"},
      {{"--remote", "00:AA:01:00:00:00", "--idle-ms", "-5"}, "invalid value for --idle-ms: -5"},
      {{"--remote", "00:AA:01:00:00:00", "--idle-ms", "0"}, "invalid value for --idle-ms: 0"},
      {{"--remote", "00:AA:01:00:00:00", "--connect-timeout-ms", "3600001"},
       "invalid value for --connect-timeout-ms: 3600001"},
      {{"--remote", "00:AA:01:00:00:00", "--verbose", "1"}, "unknown option --verbose"},
      {{"--unix"}, "missing value after --unix"},
      {{"--unix", ""}, "invalid value for --unix: "},
      {{"--unix", "/tmp/s", "--remote", "00:AA:01:00:00:00"},
       "--remote and --unix exclude each other"},
      {{"--remote", "00:AA:01:00:00:00", "--uuid", "1101"}, "invalid value for --uuid: 1101"},
      {{"--channel", "2", "--unix", "/tmp/s"},
       "--unix takes no --local, --channel, --uuid or --connect-timeout-ms"},
      {{"--unix", "/tmp/s", "--uuid", "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10"},
       "--unix takes no --local, --channel, --uuid or --connect-timeout-ms"},
      {{"--unix", "/tmp/s", "--connect-timeout-ms", "5"},
       "--unix takes no --local, --channel, --uuid or --connect-timeout-ms"},
      {{"--le"}, "--remote or --unix is required"},
      {{"--le", "--unix", "/tmp/s"}, "--le and --unix exclude each other"},
      {{"--le", "--remote", "00:AA:01:00:00:00", "--channel", "1"},
       "--le takes no --channel or --uuid"},
      {{"--uuid", "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10", "--le", "--remote", "00:AA:01:00:00:00"},
       "--le takes no --channel or --uuid"},
      {{"--remote", "00:AA:01:00:00:00", "--mtu", "100"},
       "--address-type, --mtu and --without-response need --le"},
      {{"--unix", "/tmp/s", "--without-response"},
       "--address-type, --mtu and --without-response need --le"},
      {{"--le", "--remote", "00:AA:01:00:00:00", "--mtu", "22"}, "invalid value for --mtu: 22"},
      {{"--le", "--remote", "00:AA:01:00:00:00", "--mtu", "518"}, "invalid value for --mtu: 518"},
      {{"--le", "--remote", "00:AA:01:00:00:00", "--address-type", "Random"},
       "invalid value for --address-type: Random"},
      {{"--le", "--remote", "00:AA:01:00:00:00", "--address-type"},
       "missing value after --address-type"},
  };
  for (const auto& c : cases) {
    auto options = parse(c.args);
    ASSERT_FALSE(options.ok()) << c.error;
    EXPECT_EQ(options.error(), c.error);
  }
}

}  // namespace
}  // namespace harlo
