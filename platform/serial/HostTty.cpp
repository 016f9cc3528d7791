#include "serial/HostTty.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "kernel/Thread.h"
#include "serial/Serial.h"

namespace serial {

using kernel::TimePoint;

// ----------------------------------------------------------- ParmrkDecoder

void ParmrkDecoder::Feed(const uint8_t* data, size_t size, std::vector<Event>& out) {
  Feed(
      data, size,
      [&](const uint8_t* run, size_t count) {
        for (size_t i = 0; i < count; ++i) out.push_back({Event::Data, run[i]});
      },
      [&](const Event& event) { out.push_back(event); });
}

std::optional<speed_t> HostSpeed(uint32_t baud) {
  switch (baud) {
    case 50:
      return B50;
    case 75:
      return B75;
    case 110:
      return B110;
    case 134:
      return B134;
    case 150:
      return B150;
    case 200:
      return B200;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 1800:
      return B1800;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 500000:
      return B500000;
    case 576000:
      return B576000;
    case 921600:
      return B921600;
    case 1000000:
      return B1000000;
    case 1152000:
      return B1152000;
    case 1500000:
      return B1500000;
    case 2000000:
      return B2000000;
    case 2500000:
      return B2500000;
    case 3000000:
      return B3000000;
    case 3500000:
      return B3500000;
    case 4000000:
      return B4000000;
    default:
      return std::nullopt;
  }
}

void ApplyDcbToTermios(const DCB& dcb, bool marking, termios& t) {
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | IMAXBEL);
  // Breaks and bad bytes are marked in the data; INPCK also makes the
  // line discipline mark framing errors.
  if (marking) t.c_iflag |= PARMRK | INPCK;
  if (dcb.fOutX) t.c_iflag |= IXON;
  if (dcb.fInX) t.c_iflag |= IXOFF;
  if (dcb.XonChar != 0) t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  if (dcb.XoffChar != 0) t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);

  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CREAD | CLOCAL;
  switch (dcb.ByteSize) {
    case 5:
      t.c_cflag |= CS5;
      break;
    case 6:
      t.c_cflag |= CS6;
      break;
    case 7:
      t.c_cflag |= CS7;
      break;
    default:
      t.c_cflag |= CS8;
      break;
  }
  switch (dcb.Parity) {
    case ODDPARITY:
      t.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      t.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  // The host has no 1.5 stop bits: it sends 2, and a receiver needs 1.
  if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
  // VMIN 1 with O_NONBLOCK: no data reads as EAGAIN, and 0 means hung up
  // (with VMIN 0 both read as 0).
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  speed_t speed = HostSpeed(dcb.BaudRate).value_or(B9600);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
}

namespace detail {
namespace {

constexpr short kHangup = POLLHUP | POLLERR | POLLNVAL;

std::string ErrnoText(int error) { return std::strerror(error); }

DWORD OpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// What the configuration and its open line share: the port's lock,
// whether the port was removed, and whom to wake when it is.
struct TtyShared {
  std::mutex lock;
  bool retired = false;
  kernel::WaitQueue* waiters = nullptr;

  void Retire() {
    std::lock_guard<std::mutex> guard(lock);
    retired = true;
    if (waiters != nullptr) waiters->WakeAll();
  }
};

class TtyLine {
 public:
  // `marking`: the descriptor's own line discipline applies our termios, so
  // PARMRK marks breaks and errors. Not so at a pty master, whose termios
  // calls reach the slave's.
  // With shared->lock held.
  TtyLine(std::shared_ptr<TtyShared> shared, kernel::WaitQueue* waiters, int fd, bool ownsFd, bool marking)
      : shared_(std::move(shared)), waiters_(waiters), fd_(fd), ownsFd_(ownsFd), marking_(marking) {
    shared_->waiters = waiters_;
    serial_icounter_struct counts{};
    countersWork_ = ioctl(fd_, TIOCGICOUNT, &counts) == 0;
    if (countersWork_) counts_ = counts;
  }

  ~TtyLine() { CloseLocked(); }

  std::mutex& Lock() { return shared_->lock; }

  DWORD Configure(const DCB& dcb) {
    if (fd_ < 0 || gone_) return ERROR_DEVICE_NOT_CONNECTED;
    if (!HostSpeed(dcb.BaudRate)) return ERROR_INVALID_PARAMETER;
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return errno == EIO ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE;
    ApplyDcbToTermios(dcb, marking_, t);
    if (tcsetattr(fd_, TCSANOW, &t) != 0 && !(errno == EINVAL && OnlyTheFormatWasDropped(t))) {
      return errno == EIO ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE;
    }
    parityChecked_ = dcb.fParity && dcb.Parity != NOPARITY;
    return ERROR_SUCCESS;
  }

  // The C library reports EINVAL when the device kept none of the settings
  // asked for. A pty has no character format on a wire and keeps neither a
  // byte size nor parity, so a change of those alone reads as refused
  // (depending on what was set before). Taken when all else is as asked.
  bool OnlyTheFormatWasDropped(const termios& asked) {
    termios now{};
    if (tcgetattr(fd_, &now) != 0) return false;
    constexpr tcflag_t kFormat = CSIZE | PARENB | PARODD | CMSPAR;
    bool same = now.c_iflag == asked.c_iflag && now.c_oflag == asked.c_oflag && now.c_lflag == asked.c_lflag &&
                (now.c_cflag & ~kFormat) == (asked.c_cflag & ~kFormat) && cfgetospeed(&now) == cfgetospeed(&asked) &&
                cfgetispeed(&now) == cfgetispeed(&asked);
    errno = EINVAL;
    return same;
  }

  // Devices without modem lines (ptys) simply have none to set.
  void Control(LineControl what, bool on) {
    if (what == LineControl::Dtr) {
      SetModemLine(TIOCM_DTR, on);
    } else if (what == LineControl::Rts) {
      SetModemLine(TIOCM_RTS, on);
    } else if (fd_ >= 0) {
      ioctl(fd_, on ? TIOCSBRK : TIOCCBRK);
    }
  }

  DWORD ModemStatus() {
    int lines = 0;
    if (fd_ < 0 || ioctl(fd_, TIOCMGET, &lines) != 0) return 0;
    DWORD status = 0;
    if (lines & TIOCM_CTS) status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) status |= MS_DSR_ON;
    if (lines & TIOCM_RNG) status |= MS_RING_ON;
    if (lines & TIOCM_CD) status |= MS_RLSD_ON;
    return status;
  }

  bool Receive(InputSink& sink, TimePoint now, short revents) {
    if (shared_->retired || fd_ < 0) gone_ = true;
    if (gone_) return false;
    // A wait that saw the descriptor idle leaves nothing to read, and one
    // about to look (kLooksNext) will say when there is.
    if (revents != kNotPolled && (revents & (POLLIN | kHangup)) == 0) return true;
    size_t budget = sink.Room();
    size_t taken = 0;
    ErrorCounts counts;
    while (taken < budget) {
      size_t want = std::min(sizeof chunk_, budget - taken);
      ssize_t n = read(fd_, chunk_, want);
      if (n > 0) {
        taken += static_cast<size_t>(n);
        Deliver(sink, chunk_, static_cast<size_t>(n), now, counts);
        if (static_cast<size_t>(n) < want) break;  // drained: another read now would find nothing
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      gone_ = true;  // end of file (hung up) or EIO (unplugged)
      break;
    }
    // A hang-up can leave data we have no room for; the device is gone all
    // the same, and waiting on it again would return at once forever.
    if (revents != kNotPolled && (revents & kHangup)) gone_ = true;
    if (counts.Fetch(*this).overruns > 0) sink.Condition(LineCondition::Overrun);
    return !gone_;
  }

  WaitSpec InputWait(size_t, bool canTake) {
    // With no room only a hang-up is of interest; ppoll reports it anyway.
    return WaitSpec{kernel::kNever, fd_, static_cast<short>(canTake ? POLLIN : 0)};
  }

  void DiscardInput() {
    if (fd_ >= 0) tcflush(fd_, TCIFLUSH);
    decoder_.Reset();
  }

  bool PushWrite(WriteOp& op, TimePoint, short revents) {
    if (shared_->retired || fd_ < 0) gone_ = true;
    if (gone_) return false;
    while (op.offered < op.size) {
      ssize_t n = write(fd_, op.data + op.offered, op.size - op.offered);
      if (n > 0) {
        op.offered += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (revents & kHangup) gone_ = true;
        break;
      }
      gone_ = true;
      break;
    }
    return !gone_;
  }

  // Bytes the kernel took count as gone: a tty cannot take them back.
  WaitSpec WriteWait(const WriteOp& op, bool* done) {
    *done = op.offered == op.size;
    return WaitSpec{kernel::kNever, fd_, POLLOUT};
  }
  size_t EndWrite(WriteOp& op, TimePoint) { return op.offered; }

  size_t OutputPending(TimePoint) {
    int pending = 0;
    if (fd_ < 0 || ioctl(fd_, TIOCOUTQ, &pending) != 0 || pending < 0) return 0;
    return static_cast<size_t>(pending);
  }

  void DiscardOutput(TimePoint) {
    if (fd_ >= 0) tcflush(fd_, TCOFLUSH);
  }

 private:
  void SetModemLine(int line, bool on) {
    if (fd_ >= 0) ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line);
  }

  void CloseLocked() {
    // A port opened since then has its own waiters.
    if (shared_->waiters == waiters_) shared_->waiters = nullptr;
    if (fd_ >= 0 && ownsFd_) {
      ioctl(fd_, TIOCNXCL);
      close(fd_);
    }
    fd_ = -1;
  }

  // What the driver counted since the last look tells overruns, and
  // framing from parity errors. Looked at once per Receive, when needed.
  struct ErrorCounts {
    bool fetched = false;
    int frames = 0, parities = 0, overruns = 0;
    const ErrorCounts& Fetch(TtyLine& tty) {
      if (fetched) return *this;
      fetched = true;
      serial_icounter_struct now{};
      if (tty.countersWork_ && !tty.gone_ && ioctl(tty.fd_, TIOCGICOUNT, &now) == 0) {
        frames = now.frame - tty.counts_.frame;
        parities = now.parity - tty.counts_.parity;
        overruns = (now.overrun - tty.counts_.overrun) + (now.buf_overrun - tty.counts_.buf_overrun);
        tty.counts_ = now;
      }
      return *this;
    }
  };

  void Deliver(InputSink& sink, const uint8_t* data, size_t size, TimePoint now, ErrorCounts& counts) {
    if (!marking_) {
      sink.Bytes(data, size, now);
      return;
    }
    decoder_.Feed(
        data, size, [&](const uint8_t* run, size_t count) { sink.Bytes(run, count, now); },
        [&](const ParmrkDecoder::Event& event) {
          switch (event.kind) {
            case ParmrkDecoder::Event::Data:
              sink.Byte(event.value, false, now);
              break;
            case ParmrkDecoder::Event::Break:
              sink.Condition(LineCondition::Break);
              break;
            case ParmrkDecoder::Event::Damaged: {
              const ErrorCounts& c = counts.Fetch(*this);
              bool parity = c.parities > 0 && c.frames == 0   ? true
                            : c.frames > 0 && c.parities == 0 ? false
                                                              : parityChecked_;
              sink.Condition(parity ? LineCondition::ParityError : LineCondition::FramingError);
              sink.Byte(event.value, true, now);
              break;
            }
          }
        });
  }

  std::shared_ptr<TtyShared> shared_;
  kernel::WaitQueue* const waiters_;
  int fd_;
  const bool ownsFd_;
  const bool marking_;
  bool gone_ = false;
  bool parityChecked_ = false;
  bool countersWork_ = false;
  serial_icounter_struct counts_{};
  ParmrkDecoder decoder_;
  uint8_t chunk_[4096];  // what one read takes from the descriptor
};

extern const PortInterface kTtyLine;

// A port on a tty: how it opens differs (a device path or the platform's own
// pty), the rest is the same.
class TtyPort : public PortConfig {
 public:
  TtyPort(std::string description, const PortOptions& options)
      : PortConfig(kTtyLine, options), description_(std::move(description)) {}
  virtual TtyLine* Open(kernel::WaitQueue* waiters, DWORD* error) = 0;
  const std::string& Description() const { return description_; }
  void Retire() { shared_->Retire(); }

 protected:
  const std::string description_;
  std::shared_ptr<TtyShared> shared_ = std::make_shared<TtyShared>();
};

// A tty device opened by path at each open.
class HostTtyPort final : public TtyPort {
 public:
  HostTtyPort(const std::string& path, const PortOptions& options) : TtyPort("tty " + path, options), path_(path) {}

  TtyLine* Open(kernel::WaitQueue* waiters, DWORD* error) override {
    int fd = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      *error = OpenError(errno);
      return nullptr;
    }
    if (!isatty(fd)) {
      close(fd);
      *error = ERROR_NOT_SUPPORTED;
      return nullptr;
    }
    // Nobody else opens the tty while the port is open, as on the handset.
    ioctl(fd, TIOCEXCL);
    tcflush(fd, TCIOFLUSH);
    std::lock_guard<std::mutex> guard(shared_->lock);
    if (shared_->retired) {
      ioctl(fd, TIOCNXCL);
      close(fd);
      *error = ERROR_FILE_NOT_FOUND;
      return nullptr;
    }
    return new TtyLine(shared_, waiters, fd, true, true);
  }

 private:
  const std::string path_;
};

// A pseudo-terminal the platform made. The port uses the master; the
// platform also holds the slave open, so a person can attach to it and
// detach again without the port seeing a hang-up.
class PtyPort final : public TtyPort {
 public:
  PtyPort(int master, int slave, const std::string& slavePath, const PortOptions& options)
      : TtyPort("pty " + slavePath, options), master_(master), slave_(slave) {}

  ~PtyPort() override {
    close(slave_);
    close(master_);
  }

  TtyLine* Open(kernel::WaitQueue* waiters, DWORD* error) override {
    std::lock_guard<std::mutex> guard(shared_->lock);
    if (shared_->retired) {
      *error = ERROR_FILE_NOT_FOUND;
      return nullptr;
    }
    // What either side sent while the port was closed went nowhere.
    tcflush(slave_, TCIFLUSH);
    tcflush(master_, TCIFLUSH);
    return new TtyLine(shared_, waiters, master_, false, false);
  }

 private:
  const int master_;
  const int slave_;
};

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

}  // namespace
}  // namespace detail

std::shared_ptr<PortConfig> ConfigureHostPort(unsigned number, const std::string& path, const PortOptions& options,
                                              std::string* error) {
  struct stat info {};
  if (path.empty()) {
    detail::SetError(error, "no tty path given");
    return nullptr;
  }
  if (stat(path.c_str(), &info) != 0) {
    detail::SetError(error, path + ": " + detail::ErrnoText(errno));
    return nullptr;
  }
  if (!S_ISCHR(info.st_mode)) {
    detail::SetError(error, path + ": not a character device (a tty is needed)");
    return nullptr;
  }
  auto port = std::make_shared<detail::HostTtyPort>(path, options);
  detail::InstallPort(number, port);
  return port;
}

std::string ConfigurePtyPort(unsigned number, const PortOptions& options, std::string* error) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    detail::SetError(error, "cannot create a pseudo-terminal: " + detail::ErrnoText(errno));
    return {};
  }
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    detail::SetError(error, "cannot set up a pseudo-terminal: " + detail::ErrnoText(errno));
    close(master);
    return {};
  }
  int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    detail::SetError(error, std::string(name) + ": " + detail::ErrnoText(errno));
    close(master);
    return {};
  }
  // Raw until whoever attaches sets their own; no echo of what the port sends.
  termios t{};
  if (tcgetattr(slave, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
  }
  int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  std::string path = name;
  detail::InstallPort(number, std::make_shared<detail::PtyPort>(master, slave, path, options));
  return path;
}

namespace detail {
namespace {
TtyLine& Tty(void* line) { return *static_cast<TtyLine*>(line); }
TtyPort& PortOf(PortConfig& port) { return static_cast<TtyPort&>(port); }

// A host tty's (or the platform's pty's) operations.
const PortInterface kTtyLine = {
    .open = [](PortConfig& port, kernel::WaitQueue* waiters, DWORD* error) -> void* {
      return PortOf(port).Open(waiters, error);
    },
    .close = [](void* line) { delete &Tty(line); },
    .retire = [](PortConfig& port) { PortOf(port).Retire(); },
    .describe = [](const PortConfig& port) { return static_cast<const TtyPort&>(port).Description(); },
    .lock = [](void* line) -> std::mutex& { return Tty(line).Lock(); },
    .configure = [](void* line, const DCB& dcb) { return Tty(line).Configure(dcb); },
    .control = [](void* line, LineControl what, bool on) { Tty(line).Control(what, on); },
    .modem_status = [](void* line) { return Tty(line).ModemStatus(); },
    .read = [](void* line, InputSink& sink, TimePoint now,
               short revents) { return Tty(line).Receive(sink, now, revents); },
    .read_wait = [](void* line, size_t count, bool canTake) { return Tty(line).InputWait(count, canTake); },
    .write = [](void* line, WriteOp& op, TimePoint now,
                short revents) { return Tty(line).PushWrite(op, now, revents); },
    .write_wait = [](void* line, const WriteOp& op, TimePoint, bool* done) { return Tty(line).WriteWait(op, done); },
    .end_write = [](void* line, WriteOp& op, TimePoint now) { return Tty(line).EndWrite(op, now); },
    .output_pending = [](void* line, TimePoint now) { return Tty(line).OutputPending(now); },
    .flush =
        [](void* line, Queue queue, TimePoint now) {
          if (queue == Queue::Input) {
            Tty(line).DiscardInput();
          } else {
            Tty(line).DiscardOutput(now);
          }
        },
};

}  // namespace
}  // namespace detail
}  // namespace serial
