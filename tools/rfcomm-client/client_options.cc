#include "client_options.h"

#include <charconv>
#include <cstdint>

namespace harlo {
namespace {

std::optional<std::uint32_t> decimal(std::string_view text, std::uint32_t low, std::uint32_t high) {
  std::uint32_t value = 0;
  const char* end = text.data() + text.size();
  auto [next, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc{} || next != end || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

constexpr std::uint32_t maxMilliseconds = 3600000;

}  // namespace

Result<ClientOptions, std::string> parseClientOptions(std::span<const std::string_view> args) {
  ClientOptions options;
  bool haveRemote = false;
  bool haveLinkOption = false;    // --local, --channel, --uuid or --connect-timeout-ms
  bool haveRFCOMMOption = false;  // --channel or --uuid
  bool haveLEOption = false;      // --address-type, --mtu or --without-response
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view flag = args[i];
    if (flag == "--help") {
      options.help = true;
      return options;
    }
    if (flag == "--le") {
      options.le = true;
      continue;
    }
    if (flag == "--without-response") {
      options.write = LeWrite::command;
      haveLEOption = true;
      continue;
    }
    if (++i >= args.size()) return fail("missing value after " + std::string(flag));
    const std::string_view value = args[i];
    const std::string bad = "invalid value for " + std::string(flag) + ": " + std::string(value);
    if (flag == "--remote" || flag == "--local") {
      auto address = parseBluetoothAddress(value);
      if (!address) return fail(bad);
      if (flag == "--remote") {
        options.remote = *address;
        haveRemote = true;
      } else {
        options.local = *address;
        haveLinkOption = true;
      }
    } else if (flag == "--unix") {
      if (value.empty()) return fail(bad);
      options.unixSocket = std::string(value);
    } else if (flag == "--channel") {
      auto channel = decimal(value, 1, 30);
      if (!channel) return fail(bad);
      options.channel = static_cast<std::uint8_t>(*channel);
      haveLinkOption = haveRFCOMMOption = true;
    } else if (flag == "--uuid") {
      auto service = parseServiceUuid(value);
      if (!service) return fail(bad);
      options.service = *service;
      haveLinkOption = haveRFCOMMOption = true;
    } else if (flag == "--address-type") {
      if (value == "public") {
        options.addressType = LeAddressType::publicDevice;
      } else if (value == "random") {
        options.addressType = LeAddressType::randomDevice;
      } else {
        return fail(bad);
      }
      haveLEOption = true;
    } else if (flag == "--mtu") {
      auto mtu = decimal(value, 23, 517);
      if (!mtu) return fail(bad);
      options.mtu = static_cast<std::uint16_t>(*mtu);
      haveLEOption = true;
    } else if (flag == "--idle-ms" || flag == "--connect-timeout-ms") {
      auto ms = decimal(value, 1, maxMilliseconds);
      if (!ms) return fail(bad);
      if (flag == "--idle-ms") {
        options.idle = std::chrono::milliseconds(*ms);
      } else {
        options.connectTimeout = std::chrono::milliseconds(*ms);
        haveLinkOption = true;
      }
    } else {
      return fail("unknown option " + std::string(flag));
    }
  }
  if (haveLEOption && !options.le) {
    return fail(std::string("--address-type, --mtu and --without-response need --le"));
  }
  if (options.unixSocket) {
    if (haveRemote) return fail(std::string("--remote and --unix exclude each other"));
    if (options.le) return fail(std::string("--le and --unix exclude each other"));
    if (haveLinkOption) {
      return fail(
          std::string("--unix takes no --local, --channel, --uuid or --connect-timeout-ms"));
    }
  } else if (!haveRemote) {
    return fail(std::string("--remote or --unix is required"));
  }
  if (options.le && haveRFCOMMOption) return fail(std::string("--le takes no --channel or --uuid"));
  return options;
}

}  // namespace harlo
