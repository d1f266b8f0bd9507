// Pipes and output decoding shared by the bridge's tests (in-memory files:
// memory_file.h).
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/helper_message.h"

namespace harlo {

// Prints a message as its JSON line in test failure output.
void PrintTo(const HelperMessage& message, std::ostream* out);

// A pipe whose ends close with it. Closing an end twice is harmless.
class TestPipe final {
 public:
  TestPipe();
  ~TestPipe();
  TestPipe(const TestPipe&) = delete;
  TestPipe& operator=(const TestPipe&) = delete;

  int readEnd() const { return ends_[0]; }
  int writeEnd() const { return ends_[1]; }
  void closeReadEnd();
  void closeWriteEnd();
  // Writes all of `bytes` to the write end, blocking while the pipe is full.
  void write(std::string_view bytes);

 private:
  int ends_[2];
};

// Reads `fd` until end of input.
std::string readAll(int fd);

// Decodes output text that must be whole helper-message lines; a line that
// does not decode, or text after the last line feed, fails the test.
std::vector<HelperMessage> decodeOutput(std::string_view text);

}  // namespace harlo
