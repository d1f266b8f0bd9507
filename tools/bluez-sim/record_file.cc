#include "record_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace harlo::bluez_sim {
namespace {

std::string escape(std::string_view text, bool escapeSpace) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f || (escapeSpace && c == ' ')) {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    switch (text[i]) {
      case '\\':
        out += '\\';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'x': {
        unsigned value = 0;
        if (i + 2 >= text.size()) return std::nullopt;
        auto digits = text.substr(i + 1, 2);
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
        if (ec != std::errc() || end != digits.data() + 2) return std::nullopt;
        out += static_cast<char>(value);
        i += 2;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

// Reads the file line by line; a record block is taken by byte count.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool atEnd() const { return pos_ == text_.size(); }

  // The next line without its line feed; nothing at the end or when the
  // last line has no line feed.
  std::optional<std::string_view> line() {
    auto end = text_.find('\n', pos_);
    if (end == std::string_view::npos) return std::nullopt;
    auto result = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    ++lineNumber_;
    return result;
  }

  std::optional<std::string_view> bytes(std::size_t count) {
    if (text_.size() - pos_ < count + 1 || text_[pos_ + count] != '\n') return std::nullopt;
    auto result = text_.substr(pos_, count);
    pos_ += count + 1;
    lineNumber_ += static_cast<int>(std::count(result.begin(), result.end(), '\n')) + 1;
    return result;
  }

  Failure<std::string> error(std::string_view what) const {
    return fail("record file line " + std::to_string(lineNumber_) + ": " + std::string(what));
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  int lineNumber_ = 0;
};

// `line` must be "<field> <rest>"; returns the unescaped rest.
std::optional<std::string> field(std::optional<std::string_view> line, std::string_view name) {
  if (!line || !line->starts_with(name) || line->size() <= name.size() ||
      (*line)[name.size()] != ' ') {
    return std::nullopt;
  }
  return unescape(line->substr(name.size() + 1));
}

std::optional<std::size_t> count(std::string_view text) {
  std::size_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<ProfileOption> option(std::string_view rest) {
  auto keyEnd = rest.find(' ');
  if (keyEnd == std::string_view::npos) return std::nullopt;
  auto typeEnd = rest.find(' ', keyEnd + 1);
  if (typeEnd == std::string_view::npos) return std::nullopt;
  auto key = unescape(rest.substr(0, keyEnd));
  auto value = unescape(rest.substr(typeEnd + 1));
  if (!key || !value) return std::nullopt;
  return ProfileOption{*key, std::string(rest.substr(keyEnd + 1, typeEnd - keyEnd - 1)), *value};
}

Result<RecordedProfile, std::string> profile(Reader& reader, std::string_view first) {
  RecordedProfile p;
  auto path = field(first, "profile");
  auto owner = field(reader.line(), "owner");
  auto uuid = field(reader.line(), "uuid");
  auto listening = field(reader.line(), "listening");
  if (!path || !owner || !uuid || !listening)
    return reader.error("expected profile, owner, uuid, listening");
  p.path = *path;
  p.owner = *owner;
  p.uuid = *uuid;
  p.listening = *listening;
  for (;;) {
    auto line = reader.line();
    if (!line) return reader.error("unexpected end of file");
    if (*line == "end") return p;
    if (line->starts_with("option ")) {
      auto o = option(line->substr(7));
      if (!o) return reader.error("bad option line");
      p.options.push_back(std::move(*o));
    } else if (line->starts_with("record ") && !p.record) {
      auto size = count(line->substr(7));
      auto xml = size ? reader.bytes(*size) : std::nullopt;
      if (!xml) return reader.error("bad record block");
      p.record = std::string(*xml);
    } else {
      return reader.error("unexpected line");
    }
  }
}

constexpr std::string_view outcomeWords[] = {"removed", "refused", "unanswered"};

std::string_view wordOf(UnregisterCall::Outcome outcome) {
  return outcomeWords[static_cast<std::size_t>(outcome)];
}

std::optional<UnregisterCall> unregisterCall(std::string_view rest) {
  auto pathEnd = rest.find(' ');
  if (pathEnd == std::string_view::npos) return std::nullopt;
  auto callerEnd = rest.find(' ', pathEnd + 1);
  if (callerEnd == std::string_view::npos) return std::nullopt;
  auto path = unescape(rest.substr(0, pathEnd));
  auto caller = unescape(rest.substr(pathEnd + 1, callerEnd - pathEnd - 1));
  auto word =
      std::find(std::begin(outcomeWords), std::end(outcomeWords), rest.substr(callerEnd + 1));
  if (!path || !caller || word == std::end(outcomeWords)) return std::nullopt;
  return UnregisterCall{*path, *caller,
                        static_cast<UnregisterCall::Outcome>(word - std::begin(outcomeWords))};
}

std::string errnoText(const char* call) { return std::string(call) + ": " + std::strerror(errno); }

std::string list(const std::vector<std::string>& words) {
  if (words.empty()) return "-";
  std::string out;
  for (const auto& word : words) out += (out.empty() ? "" : ",") + escape(word, true);
  return out;
}

std::optional<std::vector<std::string>> words(std::string_view text) {
  std::vector<std::string> out;
  if (text == "-") return out;
  for (std::size_t start = 0;;) {
    auto end = text.find(',', start);
    auto word = unescape(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (!word) return std::nullopt;
    out.push_back(std::move(*word));
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

// The `count` space-separated fields of `rest`, unescaped; nothing if there
// are more or fewer.
std::optional<std::vector<std::string>> fields(std::string_view rest, std::size_t count) {
  std::vector<std::string> out;
  for (std::size_t start = 0; out.size() < count;) {
    auto end = rest.find(' ', start);
    if ((end == std::string_view::npos) != (out.size() + 1 == count)) return std::nullopt;
    auto field = unescape(rest.substr(start, end == std::string_view::npos ? end : end - start));
    if (!field) return std::nullopt;
    out.push_back(std::move(*field));
    start = end + 1;
  }
  return out;
}

void formatApplication(std::string& out, const RecordedGattApplication& app) {
  out += "gatt-application " + escape(app.root, false) + "\n";
  out += "adapter " + escape(app.adapter, false) + "\n";
  out += "owner " + escape(app.owner, false) + "\n";
  for (const auto& s : app.services) {
    out += "service " + escape(s.path, true) + " " + escape(s.uuid, true) +
           (s.primary ? " primary\n" : " secondary\n");
  }
  for (const auto& c : app.characteristics) {
    out += "characteristic " + escape(c.path, true) + " " + escape(c.uuid, true) + " " +
           escape(c.service, true) + " " + list(c.flags) + " " + list(c.has) + "\n";
  }
  for (const auto& d : app.descriptors) {
    out += "descriptor " + escape(d.path, true) + " " + escape(d.uuid, true) + " " +
           escape(d.characteristic, true) + " " + list(d.flags) + "\n";
  }
  out += "end\n";
}

void formatAdvertisement(std::string& out, const RecordedAdvertisement& advertisement) {
  out += "advertisement " + escape(advertisement.path, false) + "\n";
  out += "adapter " + escape(advertisement.adapter, false) + "\n";
  out += "owner " + escape(advertisement.owner, false) + "\n";
  for (const auto& p : advertisement.properties) {
    out += "property " + escape(p.key, true) + " " + p.type + " " + escape(p.value, false) + "\n";
  }
  out += "end\n";
}

// The lines of a GATT application after its "gatt-application" line.
Result<RecordedGattApplication, std::string> application(Reader& reader, std::string root) {
  RecordedGattApplication app{std::move(root), "", "", {}, {}, {}};
  auto adapter = field(reader.line(), "adapter");
  auto owner = field(reader.line(), "owner");
  if (!adapter || !owner) return reader.error("expected adapter, owner");
  app.adapter = *adapter;
  app.owner = *owner;
  for (;;) {
    auto line = reader.line();
    if (!line) return reader.error("unexpected end of file");
    if (*line == "end") return app;
    std::optional<std::vector<std::string>> f;
    std::optional<std::vector<std::string>> flags;
    std::optional<std::vector<std::string>> has;
    if (line->starts_with("service ") && (f = fields(line->substr(8), 3)) &&
        ((*f)[2] == "primary" || (*f)[2] == "secondary")) {
      app.services.push_back({(*f)[0], (*f)[1], (*f)[2] == "primary"});
    } else if (line->starts_with("characteristic ") && (f = fields(line->substr(15), 5)) &&
               (flags = words((*f)[3])) && (has = words((*f)[4]))) {
      app.characteristics.push_back({(*f)[0], (*f)[1], (*f)[2], *flags, *has});
    } else if (line->starts_with("descriptor ") && (f = fields(line->substr(11), 4)) &&
               (flags = words((*f)[3]))) {
      app.descriptors.push_back({(*f)[0], (*f)[1], (*f)[2], *flags});
    } else {
      return reader.error("bad line in a GATT application");
    }
  }
}

// The lines of an advertisement after its "advertisement" line.
Result<RecordedAdvertisement, std::string> advertisement(Reader& reader, std::string path) {
  RecordedAdvertisement advertisement{std::move(path), "", "", {}};
  auto adapter = field(reader.line(), "adapter");
  auto owner = field(reader.line(), "owner");
  if (!adapter || !owner) return reader.error("expected adapter, owner");
  advertisement.adapter = *adapter;
  advertisement.owner = *owner;
  for (;;) {
    auto line = reader.line();
    if (!line) return reader.error("unexpected end of file");
    if (*line == "end") return advertisement;
    auto p = line->starts_with("property ") ? option(line->substr(9)) : std::nullopt;
    if (!p) return reader.error("bad line in an advertisement");
    advertisement.properties.push_back(std::move(*p));
  }
}

}  // namespace

RecordedProfile recordOf(const Registration& registration) {
  auto channel = listeningChannel(registration.settings);
  std::string listening = !channel ? "none" : *channel == 0 ? "auto" : std::to_string(*channel);
  return RecordedProfile{registration.path,    registration.owner,
                         registration.uuid,    std::move(listening),
                         registration.options, registration.settings.serviceRecord};
}

std::string formatRecordFileContents(const RecordFile& contents) {
  std::string out = "bluez-sim registrations " + std::to_string(contents.profiles.size()) + "\n";
  for (const auto& p : contents.profiles) {
    out += "profile " + escape(p.path, false) + "\n";
    out += "owner " + escape(p.owner, false) + "\n";
    out += "uuid " + escape(p.uuid, false) + "\n";
    out += "listening " + escape(p.listening, false) + "\n";
    for (const auto& o : p.options) {
      out += "option " + escape(o.key, true) + " " + o.type + " " + escape(o.value, false) + "\n";
    }
    if (p.record) out += "record " + std::to_string(p.record->size()) + "\n" + *p.record + "\n";
    out += "end\n";
  }
  for (const auto& call : contents.unregisterCalls) {
    out += "unregister " + escape(call.path, true) + " " + escape(call.caller, true) + " " +
           std::string(wordOf(call.outcome)) + "\n";
  }
  for (const auto& app : contents.gattApplications) formatApplication(out, app);
  for (const auto& advertisement : contents.advertisements) formatAdvertisement(out, advertisement);
  return out;
}

std::string formatRecordFile(const std::vector<RecordedProfile>& profiles,
                             const std::vector<UnregisterCall>& unregisterCalls) {
  return formatRecordFileContents(RecordFile{profiles, unregisterCalls});
}

Result<RecordFile, std::string> readRecordFile(std::string_view text) {
  Reader reader(text);
  auto header = field(reader.line(), "bluez-sim registrations");
  auto expected = header ? count(*header) : std::nullopt;
  if (!expected) return reader.error("expected \"bluez-sim registrations <count>\"");
  RecordFile contents;
  // The sections in their order; a line of an earlier one after a later one
  // is refused.
  enum class Section { profiles, unregisterCalls, applications, advertisements };
  Section at = Section::profiles;
  auto enter = [&](Section section) {
    if (section < at) return false;
    at = section;
    return true;
  };
  while (!reader.atEnd()) {
    auto line = reader.line();
    if (!line) return reader.error("unexpected end of file");
    if (line->starts_with("unregister ")) {
      auto call = unregisterCall(line->substr(11));
      if (!call) return reader.error("bad unregister line");
      if (!enter(Section::unregisterCalls)) return reader.error("unregister line out of order");
      contents.unregisterCalls.push_back(std::move(*call));
    } else if (auto root = field(line, "gatt-application")) {
      if (!enter(Section::applications)) return reader.error("GATT application out of order");
      auto app = application(reader, std::move(*root));
      if (!app) return fail(app.error());
      contents.gattApplications.push_back(std::move(app.value()));
    } else if (auto path = field(line, "advertisement")) {
      enter(Section::advertisements);
      auto read = advertisement(reader, std::move(*path));
      if (!read) return fail(read.error());
      contents.advertisements.push_back(std::move(read.value()));
    } else {
      if (!enter(Section::profiles)) return reader.error("profile out of order");
      auto p = profile(reader, *line);
      if (!p) return fail(p.error());
      contents.profiles.push_back(std::move(p.value()));
    }
  }
  if (contents.profiles.size() != *expected)
    return reader.error("registration count does not match");
  return contents;
}

Result<std::vector<RecordedProfile>, std::string> parseRecordFile(std::string_view text) {
  auto contents = readRecordFile(text);
  if (!contents) return fail(contents.error());
  return std::move(contents.value().profiles);
}

Result<void, std::string> writeFileAtomically(const std::string& path, std::string_view contents) {
  std::string temporary = path + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(errnoText("open"));
  while (!contents.empty()) {
    ssize_t n = ::write(fd, contents.data(), contents.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      auto error = errnoText("write");
      ::close(fd);
      return fail(error);
    }
    contents.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0) return fail(errnoText("close"));
  if (std::rename(temporary.c_str(), path.c_str()) != 0) return fail(errnoText("rename"));
  return {};
}

}  // namespace harlo::bluez_sim
