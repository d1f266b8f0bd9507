#include "syslog_capture.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ostream>
#include <string_view>
#include <utility>

namespace harlo::test_support {
namespace {

// Run by /bin/sh inside the new mount namespace, with the staging folder, the
// capture's socket and the program's argv as its arguments. The tmpfs is
// filled in the staging folder, then bound over /dev with the devices bound
// in it (a move is refused inside a user namespace); the program is exec'd,
// so that it keeps the shell's pid.
constexpr const char* namespaceScript = R"(set -e
staging=$1 socket=$2
shift 2
mount -t tmpfs -o mode=0755,size=64k harlo-dev "$staging"
for node in null zero random urandom; do
  : >"$staging/$node"
  mount --bind "/dev/$node" "$staging/$node"
done
ln -s /proc/self/fd "$staging/fd"
ln -s "$socket" "$staging/log"
mount --rbind "$staging" /dev
exec "$@")";

// A datagram no program's syslog() can send (it starts with a NUL byte): the
// capture's own marker, numbered.
std::string marker(std::uint64_t number) {
  return std::string(1, '\0') + "harlo-syslog-capture " + std::to_string(number);
}

constexpr std::size_t timestampLength = 15;  // "Dec  7 20:28:07"

}  // namespace

std::ostream& operator<<(std::ostream& out, const SyslogLine& line) {
  return out << "<" << line.severity << "> " << line.message << " [" << line.ident << " "
             << line.pid << "]";
}

SyslogLine parseSyslogDatagram(std::string_view datagram) {
  SyslogLine unreadable;
  unreadable.message = std::string(datagram);
  // glibc sends no terminator over a datagram socket, but a line feed or a
  // NUL at the end is no part of the message either way.
  while (!datagram.empty() && (datagram.back() == '\n' || datagram.back() == '\0')) {
    datagram.remove_suffix(1);
  }
  if (!datagram.starts_with('<')) return unreadable;
  const std::size_t close = datagram.find('>');
  int priority = 0;
  if (close == std::string_view::npos ||
      std::from_chars(datagram.data() + 1, datagram.data() + close, priority).ptr !=
          datagram.data() + close) {
    return unreadable;
  }
  std::string_view rest = datagram.substr(close + 1);
  if (rest.size() <= timestampLength || rest[timestampLength] != ' ') return unreadable;
  rest.remove_prefix(timestampLength + 1);
  const std::size_t open = rest.find('[');
  const std::size_t end = rest.find("]: ");
  if (open == std::string_view::npos || end == std::string_view::npos || end < open) {
    return unreadable;
  }
  SyslogLine line;
  if (std::from_chars(rest.data() + open + 1, rest.data() + end, line.pid).ptr !=
      rest.data() + end) {
    return unreadable;
  }
  line.severity = LOG_PRI(priority);
  line.facility = priority & LOG_FACMASK;
  line.ident = std::string(rest.substr(0, open));
  line.message = std::string(rest.substr(end + 3));
  return line;
}

Result<std::unique_ptr<SyslogCapture>, SyslogCapture::Failure> SyslogCapture::create() {
  auto folder = TempDir::create("harlo-syslog");
  if (!folder) return fail(Failure{false, folder.error()});
  if (::mkdir(folder.value()->file("dev").c_str(), 0755) != 0) {
    return fail(Failure{false, std::string("mkdir: ") + std::strerror(errno)});
  }
  UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket) return fail(Failure{false, std::string("socket: ") + std::strerror(errno)});
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = folder.value()->file("log");
  std::copy(path.begin(), path.end(), address.sun_path);
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return fail(Failure{false, "bind " + path + ": " + std::strerror(errno)});
  }
  UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
  if (!stop) return fail(Failure{false, std::string("eventfd: ") + std::strerror(errno)});

  std::unique_ptr<SyslogCapture> capture(
      new SyslogCapture(std::move(folder.value()), std::move(socket), std::move(stop)));
  std::string reasons;
  for (std::vector<std::string> unshare :
       {std::vector<std::string>{HARLO_UNSHARE_PATH, "--mount", "--propagation", "private"},
        std::vector<std::string>{HARLO_UNSHARE_PATH, "--user", "--map-root-user", "--mount",
                                 "--propagation", "private"}}) {
    capture->unshare_ = unshare;
    auto probe = capture->start({"/bin/true"});
    if (!probe) return fail(Failure{false, probe.error()});
    if (probe.value()->waitForExit() == ExitStatus::exitedWith(0)) return capture;
    reasons += "\n" + unshare[1] + ": " + probe.value()->transcript(Subprocess::Stream::err);
  }
  return fail(
      Failure{true, "no mount namespace can be made here to capture the system log:" + reasons});
}

SyslogCapture::SyslogCapture(std::unique_ptr<TempDir> folder, UniqueFd socket, UniqueFd stop)
    : folder_(std::move(folder)), socket_(std::move(socket)), stop_(std::move(stop)) {
  thread_ = std::thread([this] { receive(); });
}

SyslogCapture::~SyslogCapture() {
  {
    const std::lock_guard lock(mutex_);
    ending_ = true;
  }
  received_.notify_all();
  const std::uint64_t one = 1;
  // An eventfd write of 1 cannot fail short of an overflow.
  [[maybe_unused]] const auto written = ::write(stop_.get(), &one, sizeof one);
  thread_.join();
}

Result<std::unique_ptr<Subprocess>, std::string> SyslogCapture::start(
    const std::vector<std::string>& argv, const Subprocess::Environment& environment) const {
  std::vector<std::string> command = unshare_;
  command.insert(command.end(), {"/bin/sh", "-c", namespaceScript, "harlo-syslog-capture",
                                 folder_->file("dev"), folder_->file("log")});
  command.insert(command.end(), argv.begin(), argv.end());
  return Subprocess::start(command, environment);
}

std::vector<SyslogLine> SyslogCapture::takeLines(std::string* problem,
                                                 std::chrono::milliseconds bound) {
  if (!catchUp(bound)) {
    if (problem != nullptr) *problem = "the system log capture did not catch up";
    return {};
  }
  const std::lock_guard lock(mutex_);
  return std::exchange(lines_, {});
}

bool SyslogCapture::catchUp(std::chrono::milliseconds bound) {
  std::uint64_t number = 0;
  {
    const std::lock_guard lock(mutex_);
    number = ++markersSent_;
  }
  UniqueFd sender(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sender) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = folder_->file("log");
  std::copy(path.begin(), path.end(), address.sun_path);
  const std::string text = marker(number);
  // Blocks only while the queue is full, which the thread empties.
  if (::sendto(sender.get(), text.data(), text.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    return false;
  }
  std::unique_lock lock(mutex_);
  return received_.wait_for(lock, bound, [&] { return markersReceived_ >= number; });
}

void SyslogCapture::setReading(bool reading) {
  const std::lock_guard lock(mutex_);
  reading_ = reading;
  received_.notify_all();
}

void SyslogCapture::receive() {
  std::string buffer(64 * 1024, '\0');
  pollfd watched[] = {{socket_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      received_.wait(lock, [this] { return reading_ || ending_; });
      if (ending_) return;
    }
    // Bounded, so that a pause takes effect soon while nothing comes.
    const int ready = ::poll(watched, 2, 100);
    if (ready == 0) continue;
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watched[1].revents != 0) return;
    const ssize_t got = ::recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0) continue;
    const std::string_view datagram(buffer.data(), static_cast<std::size_t>(got));
    const std::lock_guard lock(mutex_);
    if (datagram.starts_with('\0')) {
      ++markersReceived_;
    } else {
      lines_.push_back(parseSyslogDatagram(datagram));
    }
    received_.notify_all();
  }
}

}  // namespace harlo::test_support
