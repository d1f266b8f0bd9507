// MemoryFile: an anonymous in-memory file for unit tests and fuzz targets (it
// needs no test framework), to stand for a standard stream. Reads of it
// return 4096-byte blocks exactly, which lets a test place a read boundary at
// a known byte.
//
// A system call that fails here (out of memory, out of descriptors) leaves
// nothing to test with: the file names the call on standard error and aborts.
// Not thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace harlo {

class MemoryFile final {
 public:
  // A file holding `contents`, its offset at the start.
  explicit MemoryFile(std::string_view contents = {});
  ~MemoryFile();
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  int fd() const { return fd_; }
  // Everything written so far, whatever the file offset.
  std::string contents() const;
  // Empties the file and rewinds it.
  void clear();

 private:
  const int fd_;
};

}  // namespace harlo
