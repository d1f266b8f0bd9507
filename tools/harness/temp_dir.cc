#include "temp_dir.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace harlo::harness {
namespace {

// Leaves room for a socket name inside the folder.
constexpr std::size_t maxBaseLength = 60;

std::string baseFolder() {
  std::error_code error;
  std::string base = std::filesystem::temp_directory_path(error).string();
  if (error || base.size() > maxBaseLength) return "/tmp";
  return base;
}

}  // namespace

Result<std::unique_ptr<TempDir>, std::string> TempDir::create(const std::string& prefix) {
  std::string pattern = baseFolder() + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr)
    return fail("mkdtemp " + pattern + ": " + std::strerror(errno));
  return std::unique_ptr<TempDir>(new TempDir(buffer.data()));
}

TempDir::~TempDir() {
  std::error_code ignored;  // a folder left behind in /tmp is harmless
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace harlo::harness
