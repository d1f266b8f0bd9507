#include "dbus_options.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace harlo::bluez_sim {
namespace {

template <typename T>
Result<std::string, int> readNumber(sd_bus_message* m, char type) {
  T value{};
  int r = sd_bus_message_read_basic(m, type, &value);
  if (r < 0) return fail(r);
  return std::to_string(value);
}

// Reads the next complete value at the read position and renders it.
Result<std::string, int> readValue(sd_bus_message* m, int depth) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(m, &type, &contents);
  if (r < 0) return fail(r);
  if (r == 0 || depth > 64) return fail(-EBADMSG);
  switch (type) {
    case 'a':
    case 'r':
    case 'e':
    case 'v': {
      // Each container type letter followed by its opening and closing bracket.
      static constexpr std::string_view brackets = "a[]r()e{}v<>";
      auto at = brackets.find(type);
      std::string out(1, brackets[at + 1]);
      if (type == 'v') out += std::string(contents) + " ";
      if ((r = sd_bus_message_enter_container(m, type, contents)) < 0) return fail(r);
      for (bool first = true; (r = sd_bus_message_at_end(m, 0)) == 0; first = false) {
        auto item = readValue(m, depth + 1);
        if (!item) return item;
        if (!first) out += type == 'e' ? ": " : ", ";
        out += item.value();
      }
      if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return fail(r);
      return out + brackets[at + 2];
    }
    case 's':
    case 'o':
    case 'g': {
      const char* text = nullptr;
      if ((r = sd_bus_message_read_basic(m, type, &text)) < 0) return fail(r);
      return std::string(text);
    }
    case 'b': {
      int flag = 0;
      if ((r = sd_bus_message_read_basic(m, type, &flag)) < 0) return fail(r);
      return std::string(flag ? "true" : "false");
    }
    case 'h': {
      int fd = -1;
      if ((r = sd_bus_message_read_basic(m, type, &fd)) < 0) return fail(r);
      return std::string("fd");
    }
    case 'y':
      return readNumber<std::uint8_t>(m, type);
    case 'n':
      return readNumber<std::int16_t>(m, type);
    case 'q':
      return readNumber<std::uint16_t>(m, type);
    case 'i':
      return readNumber<std::int32_t>(m, type);
    case 'u':
      return readNumber<std::uint32_t>(m, type);
    case 'x':
      return readNumber<std::int64_t>(m, type);
    case 't':
      return readNumber<std::uint64_t>(m, type);
    case 'd': {
      double value = 0;
      if ((r = sd_bus_message_read_basic(m, type, &value)) < 0) return fail(r);
      char text[32];
      std::snprintf(text, sizeof text, "%g", value);
      return std::string(text);
    }
    default:
      return fail(-EBADMSG);
  }
}

}  // namespace

Result<std::string, int> readValueText(sd_bus_message* message) { return readValue(message, 0); }

Result<std::vector<ProfileOption>, int> readProfileOptions(sd_bus_message* m) {
  std::vector<ProfileOption> options;
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r <= 0) return fail(r < 0 ? r : -EBADMSG);
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    char type = 0;
    const char* contents = nullptr;
    if ((r = sd_bus_message_read_basic(m, 's', &key)) < 0) return fail(r);
    if ((r = sd_bus_message_peek_type(m, &type, &contents)) < 0) return fail(r);
    if ((r = sd_bus_message_enter_container(m, 'v', contents)) < 0) return fail(r);
    auto value = readValue(m, 0);
    if (!value) return fail(value.error());
    options.push_back(ProfileOption{key, contents, std::move(value.value())});
    if ((r = sd_bus_message_exit_container(m)) < 0) return fail(r);
    if ((r = sd_bus_message_exit_container(m)) < 0) return fail(r);
  }
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return fail(r);
  return options;
}

}  // namespace harlo::bluez_sim
