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
  bool haveLinkOption = false;  // --local, --channel, --uuid or --connect-timeout-ms
  for (std::size_t i = 0; i < args.size(); i += 2) {
    const std::string_view flag = args[i];
    if (flag == "--help") {
      options.help = true;
      return options;
    }
    if (i + 1 >= args.size()) return fail("missing value after " + std::string(flag));
    const std::string_view value = args[i + 1];
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
      haveLinkOption = true;
    } else if (flag == "--uuid") {
      auto service = parseServiceUuid(value);
      if (!service) return fail(bad);
      options.service = *service;
      haveLinkOption = true;
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
  if (options.unixSocket) {
    if (haveRemote) return fail(std::string("--remote and --unix exclude each other"));
    if (haveLinkOption) {
      return fail(
          std::string("--unix takes no --local, --channel, --uuid or --connect-timeout-ms"));
    }
  } else if (!haveRemote) {
    return fail(std::string("--remote or --unix is required"));
  }
  return options;
}

}  // namespace harlo
