#include "record_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace harlo::bluez_sim {
namespace {

// The file form of one registration is exactly as documented.
TEST(RecordFile, FormatsAsDocumented) {
  RecordedProfile p{"/org/harlo/companion",
                    ":1.7",
                    "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10",
                    "1",
                    {{"Name", "s", "Harlo"}, {"Channel", "q", "1"}},
                    "<record>\n</record>"};
  EXPECT_EQ(formatRecordFile({p}),
            "bluez-sim registrations 1\n"
            "profile /org/harlo/companion\n"
            "owner :1.7\n"
            "uuid d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10\n"
            "listening 1\n"
            "option Name s Harlo\n"
            "option Channel q 1\n"
            "record 18\n"
            "<record>\n</record>\n"
            "end\n");
  EXPECT_EQ(formatRecordFile({}), "bluez-sim registrations 0\n");
  EXPECT_EQ(formatRecordFile({}, {{"/a", ":1.7", UnregisterCall::Outcome::removed},
                                  {"/b", ":1.8", UnregisterCall::Outcome::refused},
                                  {"/a", ":1.7", UnregisterCall::Outcome::unanswered}}),
            "bluez-sim registrations 0\n"
            "unregister /a :1.7 removed\n"
            "unregister /b :1.8 refused\n"
            "unregister /a :1.7 unanswered\n");
}

// A registration's record shows where it listens and the ServiceRecord the simulator took.
TEST(RecordFile, RecordOfShowsListeningAndTakenRecord) {
  struct Case {
    std::vector<ProfileOption> options;
    std::string listening;
    std::optional<std::string> record;
  };
  const Case cases[] = {
      {{{"Channel", "q", "7"}, {"ServiceRecord", "s", "<record/>"}}, "7", "<record/>"},
      {{{"Channel", "q", "0"}}, "auto", std::nullopt},
      {{{"Role", "s", "client"}, {"Channel", "q", "7"}}, "none", std::nullopt},
      {{{"Channel", "u", "7"}, {"ServiceRecord", "ay", "[60]"}}, "none", std::nullopt},
  };
  for (const auto& c : cases) {
    Registration r{":1.1", "/p", "u", c.options, interpretOptions(c.options).settings};
    RecordedProfile p = recordOf(r);
    EXPECT_EQ(p.path, "/p");
    EXPECT_EQ(p.owner, ":1.1");
    EXPECT_EQ(p.options, c.options);
    EXPECT_EQ(p.listening, c.listening) << c.options.front().key;
    EXPECT_EQ(p.record, c.record) << c.options.front().key;
  }
}

// Awkward keys and values survive a round trip: spaces, control bytes, backslashes, line feeds,
// "end" lines.
TEST(RecordFile, RoundTripsAwkwardText) {
  std::vector<RecordedProfile> profiles = {
      {"/a",
       ":1.1",
       "u",
       "none",
       {{"Key with space", "s", "line\nbreak\r\ttab\\slash \x01 end"},
        {"Name", "as", "[a, b]"},
        {"", "s", ""}},
       "<record>\nend\nrecord 3\n</record>"},
      {"/b", ":1.2", "v", "auto", {}, std::nullopt},
  };
  auto parsed = parseRecordFile(formatRecordFile(profiles));
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  EXPECT_EQ(parsed.value(), profiles);

  RecordFile contents{profiles,
                      {{"/with space", ":1.1 x", UnregisterCall::Outcome::unanswered},
                       {"/b", ":1.2", UnregisterCall::Outcome::removed}}};
  std::string text = formatRecordFile(contents.profiles, contents.unregisterCalls);
  auto read = readRecordFile(text);
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read.value(), contents);
  auto profilesOnly = parseRecordFile(text);
  ASSERT_TRUE(profilesOnly.ok()) << profilesOnly.error();
  EXPECT_EQ(profilesOnly.value(), profiles);
}

// Damaged files are refused rather than half read.
TEST(RecordFile, RefusesDamagedFiles) {
  const char* cases[] = {
      "",
      "bluez-sim registrations x\n",
      "bluez-sim registrations 1\n",
      "bluez-sim registrations 0\nprofile /a\nowner o\nuuid u\nlistening none\nend\n",
      "bluez-sim registrations 1\nprofile /a\nowner o\nuuid u\nlistening none\n",
      "bluez-sim registrations 1\nprofile /a\nowner o\nlistening none\nend\n",
      "bluez-sim registrations 1\nprofile /a\nowner o\nuuid u\nlistening none\nrecord "
      "50\n<r/>\nend\n",
      "bluez-sim registrations 1\nprofile /a\nowner o\nuuid u\nlistening none\noption K\nend\n",
      "bluez-sim registrations 1\nprofile /a\nowner o\nuuid u\nlistening none\noption K s "
      "\\q\nend\n",
      "bluez-sim registrations 1\nprofile /a\nowner o\nuuid u\nlistening none\nother\nend\n",
      "bluez-sim registrations 0\nunregister /a :1.1 forgotten\n",
      "bluez-sim registrations 0\nunregister /a removed\n",
      "bluez-sim registrations 1\nunregister /a :1.1 removed\nprofile /a\nowner o\nuuid "
      "u\nlistening none\nend\n",
  };
  for (const char* text : cases) {
    EXPECT_FALSE(parseRecordFile(text).ok()) << "accepted: " << text;
  }
}

// An atomic write replaces the file's whole contents.
TEST(RecordFile, WritesFileAtomically) {
  std::string path = ::testing::TempDir() + "record_file_test.txt";
  ASSERT_TRUE(writeFileAtomically(path, "a much longer first version\n").ok());
  ASSERT_TRUE(writeFileAtomically(path, "second\n").ok());
  std::ifstream in(path);
  std::stringstream contents;
  contents << in.rdbuf();
  EXPECT_EQ(contents.str(), "second\n");
  std::remove(path.c_str());
  EXPECT_FALSE(writeFileAtomically("/nonexistent-dir/record", "x").ok());
}

}  // namespace
}  // namespace harlo::bluez_sim
