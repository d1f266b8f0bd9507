#include "testing/memory_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace harlo {
namespace {

void require(bool done, const char* call) {
  if (done) return;
  std::fprintf(stderr, "MemoryFile: %s failed: %s\n", call, std::strerror(errno));
  std::abort();
}

}  // namespace

MemoryFile::MemoryFile(std::string_view contents) : fd_(::memfd_create("harlo-test", MFD_CLOEXEC)) {
  require(fd_ >= 0, "memfd_create");
  require(::write(fd_, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size()),
          "write");
  require(::lseek(fd_, 0, SEEK_SET) == 0, "lseek");
}

MemoryFile::~MemoryFile() { ::close(fd_); }

std::string MemoryFile::contents() const {
  std::string text;
  char block[65536];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(fd_, block, sizeof block, offset);
    require(got >= 0, "pread");
    if (got == 0) return text;
    text.append(block, static_cast<std::size_t>(got));
    offset += got;
  }
}

void MemoryFile::clear() {
  require(::ftruncate(fd_, 0) == 0, "ftruncate");
  require(::lseek(fd_, 0, SEEK_SET) == 0, "lseek");
}

}  // namespace harlo
