#include "text/top_level_members.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

namespace harlo {
namespace {

// Writes down every report of a reading, in order: `key="text"`, `key=5`,
// `key=1.5 (not an integer)`, `key=null`..., and `clear`.
class RecordingSink final : public MemberSink {
 public:
  std::string* text(std::string_view key) override {
    reports_.push_back({std::string(key) + "=", &texts_.emplace_back()});
    return reports_.back().text;
  }
  void number(std::string_view key, JSONIntegerReading integer, std::string_view written) override {
    std::string report = std::string(key) + "=";
    switch (integer.status) {
      case JSONIntegerReading::Status::integer:
        report += std::to_string(integer.value);
        break;
      case JSONIntegerReading::Status::notInteger:
        report += std::string(written) + " (not an integer)";
        break;
      case JSONIntegerReading::Status::outOfRange:
        report += std::string(written) + " (out of range)";
        break;
    }
    reports_.push_back({std::move(report)});
  }
  void other(std::string_view key, JSONType type) override {
    static constexpr const char* names[] = {"null",   "boolean", "number",
                                            "string", "array",   "object"};
    reports_.push_back({std::string(key) + "=" + names[static_cast<int>(type)]});
  }
  void clear() override { reports_.push_back({"clear"}); }

  std::vector<std::string> reports() const {
    std::vector<std::string> lines;
    for (const Report& report : reports_) {
      lines.push_back(report.text ? report.head + '"' + *report.text + '"' : report.head);
    }
    return lines;
  }

 private:
  struct Report {
    std::string head;
    std::string* text = nullptr;  // a string member's value, written after the report
  };
  std::vector<Report> reports_;
  std::deque<std::string> texts_;  // stable addresses for the readers to write to
};

using Reports = std::vector<std::string>;

// A text the quick scanner reads is read once, whatever record its members
// would make: no clear(), and each member reported exactly once.
TEST(TopLevelMembers, FlatTextsAreReadOnce) {
  const std::pair<std::string, Reports> cases[] = {
      {R"({"kind":"command","command":"ping","version":1})",
       {R"(kind="command")", R"(command="ping")", "version=1"}},
      {R"({"command":"ping"})", {R"(command="ping")"}},
      {R"({"kind":5,"version":"1","kind":null,"t":true})",
       {"kind=5", R"(version="1")", "kind=null", "t=boolean"}},
      {"{}", {}},
  };
  for (const auto& [json, expected] : cases) {
    SCOPED_TRACE(json);
    RecordingSink sink;
    ASSERT_TRUE(scanTopLevelMembers(json, sink).ok());
    EXPECT_EQ(sink.reports(), expected);
  }
}

// A text the quick scanner declines is read again from the start by the
// general parser, once, after the sink is told to forget the partial reading;
// it reports top-level members only, numbers read exactly.
TEST(TopLevelMembers, DeclinedTextsAreReadAgainOnceAfterAClear) {
  const std::pair<std::string, Reports> cases[] = {
      {R"({"kind":"k","x":[1,{"kind":2}],"version":1.0})", {R"(kind="k")", "x=array", "version=1"}},
      {R"({"a":"\u00e9","kind":{"version":1},"version":1.5,"big":1e19})",
       {"a=\"\xC3\xA9\"", "kind=object", "version=1.5 (not an integer)",
        "big=1e19 (out of range)"}},
  };
  for (const auto& [json, expected] : cases) {
    SCOPED_TRACE(json);
    RecordingSink sink;
    ASSERT_TRUE(scanTopLevelMembers(json, sink).ok());
    const Reports reports = sink.reports();
    ASSERT_EQ(std::count(reports.begin(), reports.end(), "clear"), 1);
    const auto clear = std::find(reports.begin(), reports.end(), "clear");
    EXPECT_EQ(Reports(clear + 1, reports.end()), expected);
  }
}

}  // namespace
}  // namespace harlo
