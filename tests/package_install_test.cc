// The Debian package made from this build tree: built with cpack into a
// scratch folder and unpacked there with dpkg-deb (nothing is installed on
// the system). It holds the helper, stripped, its manual page, the licence,
// the client guide, the examples and the Debian documents, nothing else, and
// the helper runs from the unpacked tree with the same fixed reports as from
// the build tree.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "elf_facts.h"
#include "fixed_reports.h"
#include "harness_names.h"

namespace harlo::test_support {
namespace {

constexpr char packageName[] = "harlo-companion-helper";
constexpr char docFolder[] = "./usr/share/doc/harlo-companion-helper/";
// cpack runs dpkg-shlibdeps and gzip; on a busy machine that takes a while.
constexpr std::chrono::seconds toolWait{60};

// What a program wrote and how it ended; no status if it could not be started
// (`err` then says why) or did not end within its bound (it is killed).
struct Finished {
  std::string out;
  std::string err;
  std::optional<ExitStatus> status;
};

// Runs `argv` with standard input closed and waits, at most `bound`, for
// its end.
Finished runToEnd(const std::vector<std::string>& argv,
                  std::chrono::milliseconds bound = toolWait) {
  auto child = Subprocess::start(argv);
  if (!child.ok()) return {"", child.error(), std::nullopt};
  Subprocess& process = *child.value();
  process.closeStdin();
  const auto status = process.waitForExit(bound);
  return {process.transcript(Subprocess::Stream::out), process.transcript(Subprocess::Stream::err),
          status};
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class PackageInstall : public ::testing::Test {
 protected:
  // Builds the package into a fresh scratch folder and unpacks it into
  // root_. Fatal failure if either step fails.
  void SetUp() override {
    auto scratch = TempDir::create("harlo-package");
    ASSERT_TRUE(scratch.ok()) << scratch.error();
    scratch_ = std::move(scratch.value());

    const Finished packed = runToEnd({HARLO_CPACK_PATH, "-G", "DEB", "--config", HARLO_CPACK_CONFIG,
                                      "-B", scratch_->file("out")});
    ASSERT_EQ(packed.status, ExitStatus::exitedWith(0)) << packed.out << packed.err;
    for (const auto& entry : std::filesystem::directory_iterator(scratch_->file("out"))) {
      if (entry.path().extension() == ".deb") {
        ASSERT_TRUE(package_.empty()) << "two packages: " << package_ << ", " << entry.path();
        package_ = entry.path();
      }
    }
    ASSERT_FALSE(package_.empty()) << "cpack made no .deb\n" << packed.out;

    root_ = scratch_->file("root");
    const Finished unpacked = runToEnd({HARLO_DPKG_DEB_PATH, "-x", package_, root_});
    ASSERT_EQ(unpacked.status, ExitStatus::exitedWith(0)) << unpacked.err;
  }

  // The package's contents as dpkg-deb lists them: mode, owner and path of
  // each entry.
  std::set<std::string> listing() {
    const Finished listed = runToEnd({HARLO_DPKG_DEB_PATH, "--contents", package_});
    EXPECT_EQ(listed.status, ExitStatus::exitedWith(0)) << listed.err;
    std::set<std::string> entries;
    std::istringstream lines(listed.out);
    std::string mode, owner, size, date, time, path;
    while (lines >> mode >> owner >> size >> date >> time >> path) {
      entries.insert(mode + " " + owner + " " + path);
    }
    return entries;
  }

  std::string controlField(const std::string& name) {
    const Finished field = runToEnd({HARLO_DPKG_DEB_PATH, "--field", package_, name});
    EXPECT_EQ(field.status, ExitStatus::exitedWith(0)) << field.err;
    return field.out;
  }

  std::unique_ptr<TempDir> scratch_;
  std::string package_;
  std::string root_;
};

// The unpacked helper writes exactly the build tree's fixed reports, nothing
// on standard error, and exits 0.
TEST_F(PackageInstall, HelperRunsFromTheUnpackedTree) {
  const std::string helper = root_ + "/usr/bin/HarloCompanionHelper";
  const std::pair<const char*, const char*> cases[] = {
      {"--capabilities", capabilitiesLine},
      {"--self-test", selfTestReport},
  };
  for (const auto& [option, expected] : cases) {
    const Finished report = runToEnd({helper, option}, defaultWait);
    EXPECT_EQ(report.out, expected) << option;
    EXPECT_EQ(report.err, "") << option;
    EXPECT_EQ(report.status, ExitStatus::exitedWith(0)) << option;
  }
}

// The package holds the helper, the manual page, the documents and the
// examples, owned by root with Debian's modes (the examples can be run), and
// none of the development programs.
TEST_F(PackageInstall, HoldsExactlyTheInstalledFiles) {
  const std::string dir = "drwxr-xr-x root/root ";
  const std::string file = "-rw-r--r-- root/root ";
  const std::string program = "-rwxr-xr-x root/root ";
  const std::set<std::string> expected = {
      dir + "./usr/",
      dir + "./usr/bin/",
      program + "./usr/bin/HarloCompanionHelper",
      dir + "./usr/share/",
      dir + "./usr/share/doc/",
      dir + docFolder,
      file + docFolder + "CLIENTS.md.gz",
      file + docFolder + "changelog.gz",
      file + docFolder + "copyright",
      dir + docFolder + "examples/",
      file + docFolder + "examples/README.md",
      program + docFolder + "examples/harlo_client.py",
      program + docFolder + "examples/harlo_parent.py",
      dir + "./usr/share/man/",
      dir + "./usr/share/man/man1/",
      file + "./usr/share/man/man1/HarloCompanionHelper.1.gz",
  };
  EXPECT_EQ(listing(), expected);
}

// The program carries no symbol table, no debug information and no
// compiler notes.
TEST_F(PackageInstall, HelperIsStripped) {
  const auto facts = readElfFacts(readFile(root_ + "/usr/bin/HarloCompanionHelper"));
  ASSERT_TRUE(facts) << "not a 64-bit ELF file";
  ASSERT_THAT(facts->sectionNames, ::testing::Contains(".text"));
  for (const std::string& name : facts->sectionNames) {
    EXPECT_NE(name, ".symtab");
    EXPECT_NE(name, ".comment");
    EXPECT_NE(name.rfind(".debug", 0), 0u) << name;
  }
}

// The compressed documents carry no file name and no time stamp (the package
// is reproducible), and the manual page and the client guide are the
// project's own, unchanged.
TEST_F(PackageInstall, CompressedDocumentsAreReproducible) {
  const std::string manPage = root_ + "/usr/share/man/man1/HarloCompanionHelper.1.gz";
  const std::string docs = root_ + "/" + docFolder;
  const std::string guide = docs + "CLIENTS.md.gz";
  for (const std::string& path : {manPage, guide, docs + "changelog.gz"}) {
    const std::string bytes = readFile(path);
    ASSERT_GE(bytes.size(), 10u) << path;
    EXPECT_EQ(bytes.substr(0, 3), std::string("\x1f\x8b\x08", 3)) << path << ": not gzip";
    constexpr char nameFlag = 0x08;
    EXPECT_EQ(bytes[3] & nameFlag, 0) << path << ": holds a file name";
    EXPECT_EQ(bytes.substr(4, 4), std::string(4, '\0')) << path << ": holds a time stamp";
  }
  const std::pair<std::string, std::string> sources[] = {
      {manPage, std::string(HARLO_SOURCE_DIR) + "/doc/HarloCompanionHelper.1"},
      {guide, std::string(HARLO_SOURCE_DIR) + "/doc/CLIENTS.md"},
  };
  for (const auto& [path, source] : sources) {
    const Finished unpacked = runToEnd({HARLO_GZIP_PATH, "-dc", path});
    ASSERT_EQ(unpacked.status, ExitStatus::exitedWith(0)) << unpacked.err;
    EXPECT_EQ(unpacked.out, readFile(source)) << path;
  }
}

// The copyright file declares the Expat (MIT) licence with the full text of
// the project's LICENSE, and the examples are the project's own, unchanged.
TEST_F(PackageInstall, CarriesTheLicenceAndTheExamples) {
  const std::string copyright = readFile(root_ + "/" + docFolder + "copyright");
  EXPECT_THAT(copyright,
              ::testing::HasSubstr("\nCopyright: 2026 The HarloCompanionHelper developers\n"
                                   "License: Expat\n"));
  // DEP-5 indents the text by one space and writes a blank line as " .".
  const std::string licence = readFile(std::string(HARLO_SOURCE_DIR) + "/LICENSE");
  const std::size_t body = licence.find("Permission is hereby granted");
  ASSERT_NE(body, std::string::npos) << "LICENSE is not the MIT licence";
  std::istringstream lines(licence.substr(body));
  std::string line, indented;
  while (std::getline(lines, line)) indented += line.empty() ? " .\n" : " " + line + "\n";
  EXPECT_THAT(copyright, ::testing::HasSubstr("License: Expat\n" + indented));

  for (const char* example : {"README.md", "harlo_client.py", "harlo_parent.py"}) {
    EXPECT_EQ(readFile(root_ + "/" + docFolder + "examples/" + example),
              readFile(std::string(HARLO_SOURCE_DIR) + "/examples/" + example))
        << example;
  }
}

// The package names in a Depends field ("libc6 (>= 2.34), libfoo1").
std::set<std::string> dependedPackages(const std::string& field) {
  std::set<std::string> packages;
  std::istringstream entries(field);
  std::string entry;
  while (std::getline(entries, entry, ',')) {
    std::istringstream words(entry);
    std::string package;
    if (words >> package) packages.insert(package);
  }
  return packages;
}

// The control fields: the project's version, BlueZ recommended, and Depends
// naming exactly the packages of the shared libraries the helper needs: those
// it links and libsystemd, which bridge mode opens at run time.
TEST_F(PackageInstall, ControlFields) {
  EXPECT_EQ(controlField("Package"), std::string(packageName) + "\n");
  EXPECT_EQ(controlField("Version"), std::string(HARLO_PROJECT_VERSION) + "\n");
  EXPECT_EQ(controlField("Recommends"), "bluez\n");

  const auto facts = readElfFacts(readFile(root_ + "/usr/bin/HarloCompanionHelper"));
  ASSERT_TRUE(facts) << "not a 64-bit ELF file";
  EXPECT_THAT(facts->neededLibraries, ::testing::Contains("libc.so.6"));
  // Debian's packages of the libraries the helper may link; the dynamic
  // loader (ld-linux-<architecture>) is libc6's too.
  const std::map<std::string, std::string> packageOf = {
      {"libc.so.6", "libc6"},
      {"libm.so.6", "libc6"},
      {"libsystemd.so.0", "libsystemd0"},
      {"libstdc++.so.6", "libstdc++6"},
      {"libgcc_s.so.1", "libgcc-s1"},
  };
  std::set<std::string> expected = {"libsystemd0"};
  for (const std::string& library : facts->neededLibraries) {
    if (library.rfind("ld-linux", 0) == 0) {
      expected.insert("libc6");
      continue;
    }
    const auto known = packageOf.find(library);
    ASSERT_NE(known, packageOf.end()) << library << " is new: add its package to this table";
    expected.insert(known->second);
  }
  EXPECT_EQ(dependedPackages(controlField("Depends")), expected);
}

}  // namespace
}  // namespace harlo::test_support
