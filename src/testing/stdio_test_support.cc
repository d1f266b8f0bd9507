#include "testing/stdio_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "protocol/helper_message_json.h"

namespace harlo {

void PrintTo(const HelperMessage& message, std::ostream* out) {
  *out << encodeHelperMessage(message);
}

TestPipe::TestPipe() {
  if (::pipe2(ends_, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe2 failed: " << errno;
}

TestPipe::~TestPipe() {
  closeReadEnd();
  closeWriteEnd();
}

void TestPipe::closeReadEnd() {
  if (ends_[0] >= 0) ::close(ends_[0]);
  ends_[0] = -1;
}

void TestPipe::closeWriteEnd() {
  if (ends_[1] >= 0) ::close(ends_[1]);
  ends_[1] = -1;
}

void TestPipe::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(ends_[1], bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      ADD_FAILURE() << "write to the test pipe failed: " << errno;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::string readAll(int fd) {
  std::string text;
  char block[4096];
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return text;
    text.append(block, static_cast<std::size_t>(got));
  }
}

std::vector<HelperMessage> decodeOutput(std::string_view text) {
  std::vector<HelperMessage> messages;
  while (!text.empty()) {
    const std::size_t feed = text.find('\n');
    if (feed == std::string_view::npos) {
      ADD_FAILURE() << "output ends inside a line: " << text;
      break;
    }
    const std::string_view line = text.substr(0, feed);
    Result<HelperMessage, DecodeError> decoded = decodeHelperMessage(line);
    if (decoded) {
      messages.push_back(std::move(decoded).value());
    } else {
      ADD_FAILURE() << "output line does not decode: " << line;
    }
    text.remove_prefix(feed + 1);
  }
  return messages;
}

}  // namespace harlo
