#include "TtyLine.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

namespace modulesim {
namespace {

bool Configure(int fd, tcflag_t extraCflag) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_iflag |= IGNBRK | IGNPAR;  // what the host sends garbled is lost, as on a real UART
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD | extraCflag;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, B115200) != 0 || cfsetospeed(&t, B115200) != 0) return false;
  return tcsetattr(fd, TCSADRAIN, &t) == 0;
}

}  // namespace

bool TtyLine::Open(const std::string& path, std::string* error) {
  Close();
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  if (!isatty(fd) || !Configure(fd, 0)) {
    if (error) *error = path + " is not a tty that takes 115200 8N1 raw";
    close(fd);
    return false;
  }
  tcflush(fd, TCIOFLUSH);
  struct stat st {};
  // Unix98 pseudo-terminal slaves have the majors 136 to 143.
  pty_ = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
  fd_ = fd;
  return true;
}

void TtyLine::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  pending_.clear();
  offset_ = 0;
}

long TtyLine::Read(uint8_t* buffer, size_t size) {
  if (fd_ < 0) return -1;
  ssize_t n = read(fd_, buffer, size);
  if (n > 0) return n;
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  return -1;  // end of file or EIO: the other side is gone
}

void TtyLine::Queue(radio::Emission emission) { pending_.push_back(std::move(emission)); }

int TtyLine::Flush() {
  if (fd_ < 0) return -1;
  while (!pending_.empty()) {
    radio::Emission& e = pending_.front();
    if (e.condition) {
      if (!SendCondition(*e.condition)) ++droppedConditions_;
    } else if (!e.garbled.empty()) {
      // Byte by byte: a garbled one goes as a line error (on a real line a
      // damaged byte of its own; on a pseudo-terminal only noted).
      for (; offset_ < e.bytes.size(); ++offset_) {
        if (e.garbled[offset_] && !SendCondition(radio::LineCondition::FramingError)) ++droppedConditions_;
        if (e.garbled[offset_] && !pty_) continue;
        ssize_t n = write(fd_, e.bytes.data() + offset_, 1);
        if (n == 1) continue;
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;  // wait for POLLOUT
        return -1;
      }
    } else {
      while (offset_ < e.bytes.size()) {
        ssize_t n = write(fd_, e.bytes.data() + offset_, e.bytes.size() - offset_);
        if (n > 0) {
          offset_ += static_cast<size_t>(n);
          continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;  // wait for POLLOUT
        return -1;
      }
    }
    pending_.pop_front();
    offset_ = 0;
  }
  return 0;
}

void TtyLine::Discard() {
  pending_.clear();
  offset_ = 0;
  if (fd_ >= 0) tcflush(fd_, TCIOFLUSH);
}

bool TtyLine::RecordCondition(radio::LineCondition condition) {
  tcdrain(fd_);
  std::string line = std::string(radio::ConditionName(condition)) + "\n";
  int file = open(lineEventFile_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (file < 0) return false;
  bool ok = write(file, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(file);
  return ok;
}

bool TtyLine::SendCondition(radio::LineCondition condition) {
  // A pseudo-terminal drops breaks silently and cannot garble a byte.
  if (pty_) return lineEventFile_.empty() ? false : RecordCondition(condition);
  // The condition goes after the data before it.
  tcdrain(fd_);
  if (condition == radio::LineCondition::Break) return tcsendbreak(fd_, 0) == 0;
  // A line error: one 0xFF sent with an even parity bit (0) where an 8N1
  // receiver expects the stop bit, so it sees a framing error. Parity and
  // overrun errors cannot be made on purpose; they come out the same way.
  if (!Configure(fd_, PARENB)) return false;
  uint8_t ff = 0xFF;
  bool ok = write(fd_, &ff, 1) == 1;
  tcdrain(fd_);
  return Configure(fd_, 0) && ok;
}

}  // namespace modulesim
