// An open COM port (ComFile, ComFile.h): Win32's comm semantics over a
// port's back end (its PortInterface, serial/Serial.h). The comm API
// functions that reach it are in CommApi.cpp, the port table in
// PortTable.cpp, the write-fault switches in WriteFaults.cpp.
//
// Choices where Win32 leaves room or where the system needs more:
//  - WaitCommEvent reports EV_RXCHAR at once while bytes are queued, and
//    EV_BREAK / EV_ERR at once while the error state (ClearCommError) still
//    holds a break or a line error. Real Win32 reports only new arrivals;
//    with that, an answer that comes before the wait begins would be missed.
//  - A read interval time-out counts from the last byte's arrival once the
//    read has a byte (the desktop rule), so a read with only an interval
//    time-out waits for its first byte and returns at the first gap.
//  - Reads and writes that time out succeed with the count they moved, as
//    Win32 documents for serial ports.
//  - Once the device has gone (host tty unplugged or hung up, port
//    removed), calls fail with ERROR_DEVICE_NOT_CONNECTED. Calls that would
//    block hold on for a moment first, so that a caller retrying on failure
//    does not spin a core; calls already blocked fail at once.
#include "serial/ComFile.h"

#include <poll.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>

#include "kernel/Wait.h"

namespace serial {

using kernel::Clock;
using kernel::TimePoint;

namespace detail {
namespace {

constexpr DWORD kKnownEvents = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR |
                               EV_RING | EV_PERR | EV_RX80FULL | EV_EVENT1 | EV_EVENT2;
constexpr DWORD kMaxQueue = 16u << 20;
// How long a call on a gone device that would block holds on before failing.
constexpr auto kGoneHold = std::chrono::milliseconds(100);

TimePoint AddMilliseconds(TimePoint from, uint64_t ms) {
  // Anything beyond a few years is no limit at all.
  if (ms > (uint64_t{1} << 40)) return kernel::kNever;
  return from + std::chrono::milliseconds(ms);
}

DCB FreshUartSettings() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = CBR_9600;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fTXContinueOnXoff = 1;
  dcb.XonLim = 512;
  dcb.XoffLim = 128;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

bool ValidSettings(const DCB& dcb) {
  if (dcb.BaudRate == 0) return false;
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
  if (dcb.Parity > SPACEPARITY) return false;
  if (dcb.StopBits > TWOSTOPBITS) return false;
  if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return false;
  return true;
}

}  // namespace

ComFile::~ComFile() {
  if (line_ != nullptr && !closed_) {
    std::lock_guard<std::mutex> guard(*lock_);
    ops_.close(line_);
  }
  if (claimed_) config_->Release();
}

bool ComFile::Start(DWORD* error) {
  if (!config_->Claim()) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  claimed_ = true;
  line_ = ops_.open(*config_, &waiters_, error);
  if (line_ == nullptr) return false;
  lock_ = &ops_.lock(line_);
  const PortOptions& options = config_->Options();
  std::lock_guard<std::mutex> guard(*lock_);
  dcb_ = FreshUartSettings();
  timeouts_ = options.timeouts;
  inSize_ = std::clamp<DWORD>(options.inputQueue, 1, kMaxQueue);
  in_.Reserve(inSize_);
  DWORD result = ops_.configure(line_, dcb_);
  if (result != ERROR_SUCCESS) {
    ops_.close(line_);
    closed_ = true;
    *error = result;
    return false;
  }
  ApplyControlLines();
  return true;
}

void ComFile::OnHandleClosed() {
  if (line_ == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(*lock_);
    if (closed_) return;
    closed_ = true;
    ops_.close(line_);
    waiters_.WakeAll();
  }
  config_->Release();
  claimed_ = false;
  if (config_->Observed()) {
    if (auto observer = config_->Observer()) observer->OnClose();
  }
}

// -------------------------------------------------------------- ReadFile

BOOL ComFile::Read(void* buffer, DWORD size, DWORD* read) {
  BOOL ok = ReadBytes(buffer, size, read);
  if (ok && *read > 0 && config_->Observed()) {
    if (auto observer = config_->Observer()) observer->OnRead({static_cast<const uint8_t*>(buffer), *read});
  }
  return ok;
}

BOOL ComFile::Write(const void* data, DWORD size, DWORD* written) {
  BOOL ok = WriteBytes(data, size, written);
  if (config_->Observed()) {
    if (auto observer = config_->Observer()) {
      observer->OnWrite({static_cast<const uint8_t*>(data), size}, *written, ok);
    }
  }
  return ok;
}

BOOL ComFile::Purge(DWORD flags) {
  BOOL ok = PurgeQueues(flags);
  if (ok && config_->Observed()) {
    if (auto observer = config_->Observer()) observer->OnPurge(flags);
  }
  return ok;
}

BOOL ComFile::ReadBytes(void* buffer, DWORD size, DWORD* read) {
  auto* out = static_cast<uint8_t*>(buffer);
  std::unique_lock<std::mutex> lock(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  if (size == 0) return TRUE;
  // What is queued already answers the whole request: no time-out can
  // matter, and nothing needs to wait.
  if (in_.size() >= size) {
    *read = static_cast<DWORD>(in_.Take(out, size));
    return TRUE;
  }

  const TimePoint start = Clock::now();
  const COMMTIMEOUTS t = timeouts_;
  const bool immediate =
      t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  // Interval and multiplier MAXDWORD, constant between: return as soon as
  // there is anything, else wait up to the constant.
  const bool firstByte = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                         t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD;
  TimePoint total = kernel::kNever;
  if (firstByte) {
    total = AddMilliseconds(start, t.ReadTotalTimeoutConstant);
  } else if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
    total = AddMilliseconds(start, uint64_t{t.ReadTotalTimeoutMultiplier} * size + t.ReadTotalTimeoutConstant);
  }
  const bool useInterval = !immediate && !firstByte && t.ReadIntervalTimeout != 0;
  const uint64_t abortGeneration = rxAbortGeneration_;

  DWORD taken = 0;
  // On a line the last wait found idle, the wait below looks first (it
  // returns at once if bytes have come since): one call to the host per
  // pass while nothing flows, not a read that finds nothing and then the
  // wait. A read that returns at once has no wait, so it reads.
  short revents = lineIdle_ && !immediate ? kLooksNext : kNotPolled;
  TimePoint now = start;
  for (;;) {
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    bool alive = Pump(revents, now);
    taken += static_cast<DWORD>(in_.Take(out + taken, size - taken));
    if (taken == size) break;
    if (!alive) {
      if (taken > 0) break;
      if (!immediate && HoldBeforeFailing(lock, start, total)) continue;
      return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (rxAbortGeneration_ != abortGeneration || immediate || (firstByte && taken > 0)) break;
    TimePoint deadline = total;
    if (useInterval && taken > 0) deadline = std::min(deadline, AddMilliseconds(lastArrival_, t.ReadIntervalTimeout));
    if (now >= deadline) break;
    WaitSpec wait = ops_.read_wait(line_, size - taken, Room() > 0);
    revents = WaitForInput(lock, std::min(deadline, wait.until), wait);
    now = Clock::now();
  }
  *read = taken;
  return TRUE;
}

// ------------------------------------------------------------- WriteFile

BOOL ComFile::WriteBytes(const void* data, DWORD size, DWORD* written) {
  WriteFaults::Verdict verdict;
  if (size > 0 && config_->Faults().Armed()) verdict = config_->Faults().TakeNext();
  std::unique_lock<std::mutex> lock(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  if (verdict.fail) return Fail(verdict.error);
  if (size == 0) return TRUE;
  if (gone_) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  if (verdict.shorten) size = std::min(size, verdict.bytes);
  if (size == 0) return TRUE;

  const TimePoint start = Clock::now();
  const COMMTIMEOUTS t = timeouts_;
  TimePoint deadline = kernel::kNever;
  if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
    deadline = AddMilliseconds(start, uint64_t{t.WriteTotalTimeoutMultiplier} * size + t.WriteTotalTimeoutConstant);
  }
  const uint64_t abortGeneration = txAbortGeneration_;

  WriteOp op;
  op.data = static_cast<const uint8_t*>(data);
  op.size = size;
  // Ends the write however the call ends (time-out, abort, termination).
  struct EndGuard {
    ComFile* file;
    WriteOp* op;
    size_t went = 0;
    bool ended = false;
    size_t End() {
      if (!ended) {
        ended = true;
        if (!file->closed_) went = file->ops_.end_write(file->line_, *op, Clock::now());
      }
      return went;
    }
    ~EndGuard() { End(); }
  } guard{this, &op};

  short revents = 0;
  bool deviceGone = false;
  for (;;) {
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    TimePoint now = Clock::now();
    if (!ops_.write(line_, op, now, revents)) {
      deviceGone = true;
      break;
    }
    bool done = false;
    WaitSpec wait = ops_.write_wait(line_, op, now, &done);
    if (done || txAbortGeneration_ != abortGeneration || now >= deadline) break;
    revents = kernel::WaitOnce(lock, waiters_, std::min(deadline, wait.until), wait.fd, wait.events);
  }
  *written = static_cast<DWORD>(guard.End());
  if (deviceGone) {
    MarkGone();
    return Fail(ERROR_DEVICE_NOT_CONNECTED);
  }
  // Only a wait that asks for it can see EV_TXEMPTY (a new mask clears
  // what was recorded before), so only then is the device asked.
  if ((mask_ & EV_TXEMPTY) && ops_.output_pending(line_, Clock::now()) == 0) RecordEvents(EV_TXEMPTY);
  return TRUE;
}

// -------------------------------------------------------- comm functions

BOOL ComFile::GetState(DCB* dcb) {
  std::lock_guard<std::mutex> guard(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  *dcb = dcb_;
  dcb->DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL ComFile::SetState(const DCB& requested) {
  if (!ValidSettings(requested)) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> guard(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  if (gone_) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  DWORD result = ops_.configure(line_, requested);
  if (result != ERROR_SUCCESS) return Fail(result);
  dcb_ = requested;
  ApplyControlLines();
  return TRUE;
}

BOOL ComFile::GetTimeouts(COMMTIMEOUTS* timeouts) {
  std::lock_guard<std::mutex> guard(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  *timeouts = timeouts_;
  return TRUE;
}

BOOL ComFile::SetTimeouts(const COMMTIMEOUTS& timeouts) {
  // Win32 refuses this one combination: it can mean nothing.
  if (timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
      timeouts.ReadTotalTimeoutConstant == MAXDWORD) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard<std::mutex> guard(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  timeouts_ = timeouts;
  return TRUE;
}

BOOL ComFile::PurgeQueues(DWORD flags) {
  if ((flags & ~DWORD{PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR}) != 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard<std::mutex> guard(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  TimePoint now = Clock::now();
  if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) ops_.flush(line_, Queue::Output, now);
  if (flags & PURGE_TXABORT) ++txAbortGeneration_;
  if (flags & PURGE_RXABORT) ++rxAbortGeneration_;
  if (flags & PURGE_RXCLEAR) {
    Pump(kNotPolled);
    in_.clear();
    history_ &= ~DWORD{EV_RXCHAR | EV_RXFLAG};
    ops_.flush(line_, Queue::Input, now);
  }
  waiters_.WakeAll();
  return TRUE;
}

BOOL ComFile::Escape(DWORD function) {
  std::lock_guard<std::mutex> guard(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  switch (function) {
    case SETDTR:
    case CLRDTR:
      if (dcb_.fDtrControl == DTR_CONTROL_HANDSHAKE) return Fail(ERROR_INVALID_PARAMETER);
      break;
    case SETRTS:
    case CLRRTS:
      if (dcb_.fRtsControl == RTS_CONTROL_HANDSHAKE) return Fail(ERROR_INVALID_PARAMETER);
      break;
    case SETBREAK:
    case CLRBREAK:
      break;
    case SETXON:
    case SETXOFF:
      return Fail(ERROR_NOT_SUPPORTED);
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  if (gone_) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  switch (function) {
    case SETDTR:
      ops_.control(line_, LineControl::Dtr, true);
      break;
    case CLRDTR:
      ops_.control(line_, LineControl::Dtr, false);
      break;
    case SETRTS:
      ops_.control(line_, LineControl::Rts, true);
      break;
    case CLRRTS:
      ops_.control(line_, LineControl::Rts, false);
      break;
    case SETBREAK:
      ops_.control(line_, LineControl::Break, true);
      break;
    case CLRBREAK:
      ops_.control(line_, LineControl::Break, false);
      break;
  }
  return TRUE;
}

BOOL ComFile::Setup(DWORD inQueue, DWORD outQueue) {
  if (inQueue > kMaxQueue || outQueue > kMaxQueue) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> guard(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  // Zero keeps the size. A smaller queue keeps what it holds; only new
  // arrivals see the new size. Writes wait for their bytes to go, so the
  // output queue never holds more than the writes in progress.
  if (inQueue != 0) {
    inSize_ = inQueue;
    in_.Reserve(inSize_);
  }
  waiters_.WakeAll();
  return TRUE;
}

BOOL ComFile::SetMask(DWORD mask) {
  if ((mask & ~kKnownEvents) != 0) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> guard(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  mask_ = mask;
  history_ = 0;
  ++maskGeneration_;  // a pending WaitCommEvent returns with no events
  waiters_.WakeAll();
  return TRUE;
}

BOOL ComFile::GetMask(DWORD* mask) {
  std::lock_guard<std::mutex> guard(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  *mask = mask_;
  return TRUE;
}

BOOL ComFile::WaitEvent(DWORD* events) {
  std::unique_lock<std::mutex> lock(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  if (waiting_ || mask_ == 0) return Fail(ERROR_INVALID_PARAMETER);
  waiting_ = true;
  struct WaitingGuard {
    bool& flag;
    ~WaitingGuard() { flag = false; }
  } waitingGuard{waiting_};

  const TimePoint start = Clock::now();
  const uint64_t generation = maskGeneration_;
  short revents = kNotPolled;
  for (;;) {
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    bool alive = Pump(revents);
    if (maskGeneration_ != generation) {
      *events = 0;
      return TRUE;
    }
    DWORD ready = (history_ | StateEvents()) & mask_;
    if (ready != 0) {
      history_ &= ~ready;
      *events = ready;
      return TRUE;
    }
    if (!alive) {
      if (HoldBeforeFailing(lock, start, kernel::kNever)) continue;
      return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    WaitSpec wait = ops_.read_wait(line_, 1, Room() > 0);
    revents = WaitForInput(lock, wait.until, wait);
  }
}

BOOL ComFile::ClearError(DWORD* errors, COMSTAT* stat) {
  std::lock_guard<std::mutex> guard(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  Pump(kNotPolled);
  if (errors != nullptr) *errors = errors_;
  errors_ = 0;
  if (stat != nullptr) {
    *stat = COMSTAT{};
    stat->cbInQue = static_cast<DWORD>(in_.size());
    stat->cbOutQue = gone_ ? 0 : static_cast<DWORD>(ops_.output_pending(line_, Clock::now()));
  }
  return TRUE;
}

BOOL ComFile::ModemStatus(DWORD* status) {
  std::lock_guard<std::mutex> guard(*lock_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  if (gone_) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  *status = ops_.modem_status(line_);
  return TRUE;
}

BOOL ComFile::Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// --- InputSink, called by the back end inside Pump ---

void ComFile::Byte(uint8_t value, bool damaged, TimePoint arrival) {
  if (damaged && dcb_.fErrorChar) value = static_cast<uint8_t>(dcb_.ErrorChar);
  if (value == 0 && dcb_.fNull) return;
  if (in_.size() >= inSize_) {
    errors_ |= CE_RXOVER;
    return;
  }
  in_.Append(&value, 1);
  lastArrival_ = arrival;
  RecordEvents(EV_RXCHAR | (value == static_cast<uint8_t>(dcb_.EvtChar) ? EV_RXFLAG : 0));
}

void ComFile::Bytes(const uint8_t* data, size_t size, TimePoint arrival) {
  if (size == 0) return;
  if (dcb_.fNull) {
    for (size_t i = 0; i < size; ++i) Byte(data[i], false, arrival);
    return;
  }
  size_t fits = std::min(size, Room());
  if (fits < size) errors_ |= CE_RXOVER;
  if (fits == 0) return;
  in_.Append(data, fits);
  lastArrival_ = arrival;
  // Only a wait on the current mask can see EV_RXFLAG (a new mask clears
  // what was recorded), so the bytes are searched only when it asks.
  bool flag = (mask_ & EV_RXFLAG) && std::memchr(data, static_cast<uint8_t>(dcb_.EvtChar), fits) != nullptr;
  RecordEvents(EV_RXCHAR | (flag ? EV_RXFLAG : 0));
}

void ComFile::Condition(LineCondition condition) {
  switch (condition) {
    case LineCondition::Break:
      errors_ |= CE_BREAK;
      RecordEvents(EV_BREAK);
      break;
    case LineCondition::FramingError:
      errors_ |= CE_FRAME;
      RecordEvents(EV_ERR);
      break;
    case LineCondition::ParityError:
      errors_ |= CE_RXPARITY;
      RecordEvents(EV_ERR);
      break;
    case LineCondition::Overrun:
      errors_ |= CE_OVERRUN;
      RecordEvents(EV_ERR);
      break;
  }
}

size_t ComFile::Room() const { return in_.size() >= inSize_ ? 0 : inSize_ - in_.size(); }

// -------------------------------------------------------------- helpers

void ComFile::RecordEvents(DWORD events) { history_ |= events; }

DWORD ComFile::StateEvents() const {
  DWORD events = 0;
  if (!in_.empty()) events |= EV_RXCHAR;
  if (errors_ & CE_BREAK) events |= EV_BREAK;
  if (errors_ & (CE_FRAME | CE_RXPARITY | CE_OVERRUN)) events |= EV_ERR;
  return events;
}

short ComFile::WaitForInput(std::unique_lock<std::mutex>& lock, TimePoint until, const WaitSpec& wait) {
  bool polled = false;
  short revents = kernel::WaitOnce(lock, waiters_, until, wait.fd, wait.events, &polled);
  if (wait.fd < 0 || !polled) return kNotPolled;
  lineIdle_ = (revents & POLLIN) == 0;
  return revents;
}

bool ComFile::Pump(short revents, TimePoint now) {
  if (gone_) return false;
  size_t queued = in_.size();
  DWORD errors = errors_;
  DWORD history = history_;
  bool alive = ops_.read(line_, *this, now, revents);
  if (!alive) {
    MarkGone();
  } else if (in_.size() != queued || errors_ != errors || history_ != history) {
    waiters_.WakeAll();
  }
  return alive;
}

void ComFile::MarkGone() {
  if (gone_) return;
  gone_ = true;
  waiters_.WakeAll();
}

bool ComFile::HoldBeforeFailing(std::unique_lock<std::mutex>& lock, TimePoint start, TimePoint deadline) {
  TimePoint until = std::min(start + kGoneHold, deadline);
  if (Clock::now() >= until) return false;
  kernel::WaitOnce(lock, waiters_, until);
  return true;
}

void ComFile::ApplyControlLines() {
  ops_.control(line_, LineControl::Dtr, dcb_.fDtrControl != DTR_CONTROL_DISABLE);
  ops_.control(line_, LineControl::Rts,
               dcb_.fRtsControl != RTS_CONTROL_DISABLE && dcb_.fRtsControl != RTS_CONTROL_TOGGLE);
}

}  // namespace detail
}  // namespace serial
