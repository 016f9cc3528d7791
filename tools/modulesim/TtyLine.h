// The simulator's end of a host tty: raw 115200 8N1, non-blocking, with the
// module's output queued in order (data, breaks and line errors).
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "radio/Module.h"

namespace modulesim {

class TtyLine {
 public:
  ~TtyLine() { Close(); }

  // Opens and configures `path`. False with `error` set when it cannot.
  bool Open(const std::string& path, std::string* error);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // A pseudo-terminal carries no breaks or line errors.
  bool IsPseudoTerminal() const { return pty_; }

  // Reads what has arrived. -1: the tty went away.
  long Read(uint8_t* buffer, size_t size);
  // Queues output and sends what the tty takes now.
  void Queue(radio::Emission emission);
  // Sends queued output as far as the tty takes it; -1 when it went away.
  int Flush();
  bool HasPending() const { return !pending_.empty(); }
  // Drops unread input and unsent output (the module's UART after a reset).
  void Discard();
  // Breaks and line errors that could not travel (pseudo-terminal).
  unsigned DroppedConditions() const { return droppedConditions_; }
  // On a pseudo-terminal, breaks and line errors are appended to `path`
  // instead, one line each ("break", "framing", "parity", "overrun"), once
  // the bytes before them have left: a side channel for a reader that
  // counts them (the pty helper of the Wine tests).
  void SetLineEventFile(std::string path) { lineEventFile_ = std::move(path); }

 private:
  bool SendCondition(radio::LineCondition condition);
  bool RecordCondition(radio::LineCondition condition);

  int fd_ = -1;
  bool pty_ = false;
  std::deque<radio::Emission> pending_;
  size_t offset_ = 0;  // bytes of pending_.front() already sent
  unsigned droppedConditions_ = 0;
  std::string lineEventFile_;
};

}  // namespace modulesim
