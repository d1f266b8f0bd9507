#include "profile_settings.h"

#include <strings.h>

#include <charconv>

namespace harlo::bluez_sim {
namespace {

bool keyIs(const std::string& key, const char* name) { return strcasecmp(key.c_str(), name) == 0; }

std::optional<std::uint16_t> asUint16(const std::string& text) {
  std::uint16_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Applies one option to `settings`. Returns the reason it was ignored, or
// nothing when it was taken.
std::optional<std::string> apply(const ProfileOption& option, ProfileSettings& settings) {
  enum class Kind { string, boolean, uint16 };
  struct Known {
    const char* key;
    Kind kind;
  };
  static constexpr Known known[] = {
      {"Name", Kind::string},
      {"AutoConnect", Kind::boolean},
      {"PSM", Kind::uint16},
      {"Channel", Kind::uint16},
      {"RequireAuthentication", Kind::boolean},
      {"RequireAuthorization", Kind::boolean},
      {"Role", Kind::string},
      {"ServiceRecord", Kind::string},
      {"Version", Kind::uint16},
      {"Features", Kind::uint16},
      {"Service", Kind::string},
  };
  const Known* match = nullptr;
  for (const auto& k : known) {
    if (keyIs(option.key, k.key)) match = &k;
  }
  if (match == nullptr) return "unknown profile option " + option.key + " ignored";

  static constexpr const char* signatures[] = {"s", "b", "q"};
  const char* expected = signatures[static_cast<int>(match->kind)];
  if (option.type != expected) {
    return "Invalid value for profile option " + option.key + ": type " + option.type +
           ", expected " + expected + "; ignored";
  }
  const std::string& v = option.value;
  bool flag = v == "true";
  std::optional<std::uint16_t> number = match->kind == Kind::uint16 ? asUint16(v) : std::nullopt;
  std::string_view key = match->key;
  if (key == "Name") {
    settings.name = v;
  } else if (key == "AutoConnect") {
    settings.autoConnect = flag;
  } else if (key == "PSM") {
    settings.psm = number;
  } else if (key == "Channel") {
    if (number > 31)
      return "Invalid value for profile option " + option.key + ": " + v + " > 31; ignored";
    settings.channel = number;
  } else if (key == "RequireAuthentication") {
    settings.requireAuthentication = flag;
  } else if (key == "RequireAuthorization") {
    settings.requireAuthorization = flag;
  } else if (key == "Role") {
    settings.role = v;
    if (v == "client") settings.serverEnabled = false;
    if (v == "server") settings.serverEnabled = true;
  } else if (key == "ServiceRecord") {
    settings.serviceRecord = v;
    settings.serverEnabled = true;
  } else if (key == "Version") {
    settings.version = number;
  } else if (key == "Features") {
    settings.features = number;
  } else if (key == "Service") {
    if (!hasUuid128Shape(v)) return "Service " + v + " is not a 128-bit UUID; ignored";
    settings.service = v;
  }
  return std::nullopt;
}

}  // namespace

InterpretedOptions interpretOptions(const std::vector<ProfileOption>& options) {
  InterpretedOptions result;
  for (const auto& option : options) {
    if (auto ignored = apply(option, result.settings))
      result.warnings.push_back(std::move(*ignored));
  }
  return result;
}

std::optional<std::uint16_t> listeningChannel(const ProfileSettings& settings) {
  if (!settings.serverEnabled) return std::nullopt;
  return settings.channel;
}

bool hasUuid128Shape(const std::string& text) {
  return text.size() == 36 && text[8] == '-' && text[13] == '-' && text[18] == '-' &&
         text[23] == '-';
}

}  // namespace harlo::bluez_sim
