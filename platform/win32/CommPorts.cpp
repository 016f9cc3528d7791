// Serial ports of the desktop build with the handset's serial semantics.
//
// The system calls ReadFile, WriteFile and WaitCommEvent without an
// OVERLAPPED, from several threads at once on one port, and relies on a
// call from another thread running at once: SetCommMask ends a pending
// WaitCommEvent, PurgeComm with the abort flags ends a pending transfer, a
// write goes out while another thread waits. A desktop port opened without
// FILE_FLAG_OVERLAPPED is a synchronous file object, on which every call
// waits until the one in progress has finished. So every "COMn:" port is
// opened overlapped underneath, and each of these calls, made the CE way,
// is issued as an overlapped operation that its caller awaits alone. Where
// Wine leaves something out (it aborts no transfer on PurgeComm), the
// operations the call ends are cancelled here as well (CancelIoEx), and
// the results are the handset's. platform/README.md, Differences, lists
// each mapping and the documentation it rests on.
#define FWUTIL_COMM_PORTS_IMPL
#include <windows.h>

#include <atomic>
#include <map>
#include <memory>
#include <vector>

namespace {

enum class Kind { Read, Write, Wait };

// One overlapped operation. Each thread has one (it makes one call at a
// time) with its own manual-reset event, made at its first call and kept:
// the transfer path allocates nothing and takes the port's lock only to
// list and unlist the operation. The update suspends its wake-up thread by
// force, and a desktop kernel suspends a thread wherever it is; one held
// inside the heap's lock or the port's would stop every other caller.
// A thread ended by force leaves its operation listed and valid for the
// kernel to complete into.
struct Operation {
  OVERLAPPED overlapped;
  Kind kind;
  DWORD events;              // what a WaitCommEvent reports
  std::atomic<bool> ending;  // another call ended it (the reason below is set first)
  bool maskChanged;          // by SetCommMask
  bool aborted;              // by PurgeComm
  bool closed;               // by CloseHandle
  bool timedOut;             // here, once its time-outs had passed
};

struct ThreadOperation {
  Operation operation{};
  ~ThreadOperation() {
    if (operation.overlapped.hEvent != NULL) CloseHandle(operation.overlapped.hEvent);
  }
};

// This thread's operation, ready for a new call; NULL (with the last error
// set) when its event cannot be made.
Operation* NewOperation(Kind kind) {
  static thread_local ThreadOperation mine;
  Operation& operation = mine.operation;
  if (operation.overlapped.hEvent == NULL) {
    operation.overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (operation.overlapped.hEvent == NULL) return NULL;
  }
  HANDLE event = operation.overlapped.hEvent;
  ResetEvent(event);
  operation.overlapped = OVERLAPPED();
  operation.overlapped.hEvent = event;
  operation.kind = kind;
  operation.events = 0;
  operation.ending = false;
  operation.maskChanged = operation.aborted = operation.closed = operation.timedOut = false;
  return &operation;
}

// An open port: its operations in progress. Its lock orders the calls that
// end operations against the listing of new ones, so those calls end
// exactly the operations listed before them.
struct Port {
  HANDLE handle;
  SRWLOCK lock;
  std::atomic<bool> closed;
  DWORD heldErrors;  // line errors a wait took from ClearCommError, kept for the program's own
  std::vector<Operation*> pending;
};

SRWLOCK portsLock = SRWLOCK_INIT;

std::map<HANDLE, std::shared_ptr<Port>>& Ports() {
  static auto* ports = new std::map<HANDLE, std::shared_ptr<Port>>;
  return *ports;
}

std::shared_ptr<Port> FindPort(HANDLE handle) {
  AcquireSRWLockShared(&portsLock);
  auto& ports = Ports();
  auto it = ports.find(handle);
  std::shared_ptr<Port> port = it == ports.end() ? nullptr : it->second;
  ReleaseSRWLockShared(&portsLock);
  return port;
}

class PortLock {
 public:
  explicit PortLock(Port& port) : port_(port) { AcquireSRWLockExclusive(&port_.lock); }
  ~PortLock() { ReleaseSRWLockExclusive(&port_.lock); }
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

 private:
  Port& port_;
};

// "COMn:" as the handset names its ports (also "COMn" and "\\.\COMn");
// `number` receives n.
bool IsComPortName(LPCWSTR name, unsigned* number) {
  if (name == NULL) return false;
  if (name[0] == L'\\' && name[1] == L'\\' && name[2] == L'.' && name[3] == L'\\') name += 4;
  if ((name[0] | 0x20) != L'c' || (name[1] | 0x20) != L'o' || (name[2] | 0x20) != L'm') return false;
  unsigned value = 0;
  int digits = 0;
  for (name += 3; *name >= L'0' && *name <= L'9' && digits < 4; ++name, ++digits) value = value * 10 + (*name - L'0');
  if (digits == 0 || value == 0) return false;
  if (*name == L':') ++name;
  if (*name != 0) return false;
  *number = value;
  return true;
}

// The time-outs the handset's drivers start a port with: the infrared
// ("COM5:") and IrDA ("COM3:") drivers hand a read back once a burst has
// ended (a 50 ms gap); the UARTs have none. A desktop port starts with
// whatever its last user left.
COMMTIMEOUTS DriverTimeouts(unsigned number) {
  COMMTIMEOUTS timeouts = {0, 0, 0, 0, 0};
  if (number == 3 || number == 5) timeouts.ReadIntervalTimeout = 50;
  return timeouts;
}

// Ends the listed operations of a kind, for a reason. One listed but not
// yet issued ends itself once issued.
void EndOperations(Port& port, Kind kind, bool Operation::*why) {
  for (Operation* operation : port.pending) {
    if (operation->kind != kind) continue;
    operation->*why = true;
    operation->ending = true;
    CancelIoEx(port.handle, &operation->overlapped);
  }
}

// How long past its time-outs a transfer is left to its driver.
const DWORD kDriverGrace = 50;

// The time a read of `size` bytes may take by the port's time-outs, in
// milliseconds: 0 for one that returns at once with what is queued,
// INFINITE where only bytes (or an interval after them) end it.
DWORD ReadLimit(const COMMTIMEOUTS& t, DWORD size) {
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
    return 0;
  }
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD) return t.ReadTotalTimeoutConstant;
  ULONGLONG total = (ULONGLONG)t.ReadTotalTimeoutMultiplier * size + t.ReadTotalTimeoutConstant;
  return total == 0 || total >= INFINITE - kDriverGrace ? INFINITE : (DWORD)total;
}

DWORD WriteLimit(const COMMTIMEOUTS& t, DWORD size) {
  ULONGLONG total = (ULONGLONG)t.WriteTotalTimeoutMultiplier * size + t.WriteTotalTimeoutConstant;
  return total == 0 || total >= INFINITE - kDriverGrace ? INFINITE : (DWORD)total;
}

bool IsTimeOut(DWORD error) { return error == WAIT_TIMEOUT || error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT; }

void Forget(Port& port, Operation* operation) {
  PortLock guard(port);
  for (size_t i = 0; i < port.pending.size(); ++i) {
    if (port.pending[i] == operation) {
      port.pending.erase(port.pending.begin() + i);
      break;
    }
  }
}

// Issues one operation on the port and waits for it alone. `issue` starts
// it as an overlapped operation. Returns the result the handset gives: a
// transfer PurgeComm ended returns what it moved, a wait SetCommMask ended
// reports no events, a call CloseHandle ended fails with
// ERROR_INVALID_HANDLE.
// `limit`: what the port's time-outs allow the transfer, in milliseconds
// (INFINITE: no limit). A driver ends it then; where one does not (Wine
// lets a read wait on for its last bytes once some have come, and makes a
// read that should return at once wait for its first byte), it is ended
// here with what it has moved, as a time-out ends it.
template <typename Issue>
BOOL Await(const std::shared_ptr<Port>& port, Kind kind, DWORD* transferred, DWORD* events, Issue issue,
           DWORD limit = INFINITE) {
  Operation* operation = NewOperation(kind);
  if (operation == NULL) return FALSE;
  if (port->closed) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    PortLock guard(*port);
    port->pending.push_back(operation);
  }
  if (!issue(operation) && GetLastError() != ERROR_IO_PENDING) {
    DWORD error = operation->closed ? (DWORD)ERROR_INVALID_HANDLE : GetLastError();
    Forget(*port, operation);
    SetLastError(error);
    return FALSE;
  }
  if (operation->ending) CancelIoEx(port->handle, &operation->overlapped);
  if (limit != INFINITE) {
    DWORD grace = limit == 0 ? 0 : limit + kDriverGrace;
    if (WaitForSingleObject(operation->overlapped.hEvent, grace) == WAIT_TIMEOUT) {
      operation->timedOut = true;
      CancelIoEx(port->handle, &operation->overlapped);
    }
  }

  // An operation that ended by itself before another call came to end it
  // keeps its own result.
  DWORD moved = 0;
  BOOL ok = GetOverlappedResult(port->handle, &operation->overlapped, &moved, TRUE);
  DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  Forget(*port, operation);
  if (!ok && error == ERROR_OPERATION_ABORTED) {
    if (operation->closed) {
      error = ERROR_INVALID_HANDLE;
    } else if (operation->aborted || operation->maskChanged || operation->timedOut) {
      ok = TRUE;
    }
  } else if (!ok && kind != Kind::Wait && IsTimeOut(error)) {
    // A transfer its time-outs ended succeeds with what it moved (Wine
    // reports the time-out as the operation's status).
    ok = TRUE;
  }
  if (ok && transferred != NULL) *transferred = moved;
  if (ok && events != NULL) *events = operation->events;
  if (!ok) SetLastError(error);
  return ok;
}

}  // namespace

HANDLE WINAPI CeCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                            DWORD flags, HANDLE templateFile) {
  unsigned number = 0;
  if (!IsComPortName(name, &number)) {
    return CreateFileW(name, access, share, security, disposition, flags, templateFile);
  }
  HANDLE handle = CreateFileW(name, access, share, security, disposition, flags | FILE_FLAG_OVERLAPPED, templateFile);
  if (handle == INVALID_HANDLE_VALUE) return handle;
  DWORD opened = GetLastError();
  // A port that refuses them keeps its own, as a refused SetCommTimeouts would.
  COMMTIMEOUTS timeouts = DriverTimeouts(number);
  SetCommTimeouts(handle, &timeouts);
  auto port = std::make_shared<Port>();
  port->handle = handle;
  InitializeSRWLock(&port->lock);
  port->closed = false;
  port->heldErrors = 0;
  port->pending.reserve(16);
  AcquireSRWLockExclusive(&portsLock);
  Ports()[handle] = port;
  ReleaseSRWLockExclusive(&portsLock);
  SetLastError(opened);
  return handle;
}

BOOL WINAPI CeCloseHandle(HANDLE handle) {
  std::shared_ptr<Port> port;
  AcquireSRWLockExclusive(&portsLock);
  auto& ports = Ports();
  auto it = ports.find(handle);
  if (it != ports.end()) {
    port = it->second;
    ports.erase(it);
  }
  ReleaseSRWLockExclusive(&portsLock);
  if (port) {
    // Calls blocked on the port fail, as on the handset; Wine would leave
    // them pending on a closed handle.
    PortLock guard(*port);
    port->closed = true;
    for (Kind kind : {Kind::Read, Kind::Write, Kind::Wait}) EndOperations(*port, kind, &Operation::closed);
  }
  return CloseHandle(handle);
}

BOOL WINAPI CeReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
  std::shared_ptr<Port> port = overlapped == NULL ? FindPort(file) : nullptr;
  if (!port) return ReadFile(file, buffer, size, read, overlapped);
  if (read != NULL) *read = 0;
  COMMTIMEOUTS timeouts;
  DWORD limit = GetCommTimeouts(file, &timeouts) ? ReadLimit(timeouts, size) : INFINITE;
  return Await(
      port, Kind::Read, read, NULL,
      [&](Operation* operation) { return ReadFile(file, buffer, size, NULL, &operation->overlapped); }, limit);
}

BOOL WINAPI CeWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  std::shared_ptr<Port> port = overlapped == NULL ? FindPort(file) : nullptr;
  if (!port) return WriteFile(file, data, size, written, overlapped);
  if (written != NULL) *written = 0;
  COMMTIMEOUTS timeouts;
  DWORD limit = GetCommTimeouts(file, &timeouts) ? WriteLimit(timeouts, size) : INFINITE;
  return Await(
      port, Kind::Write, written, NULL,
      [&](Operation* operation) { return WriteFile(file, data, size, NULL, &operation->overlapped); }, limit);
}

BOOL WINAPI CeWaitCommEvent(HANDLE file, LPDWORD events, LPOVERLAPPED overlapped) {
  std::shared_ptr<Port> port = overlapped == NULL ? FindPort(file) : nullptr;
  if (!port) return WaitCommEvent(file, events, overlapped);
  if (events == NULL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *events = 0;
  // The handset reports at once what the port already holds: bytes queued,
  // and a break or line error the program has not yet taken with
  // ClearCommError. A desktop driver reports only what comes after the
  // wait has begun.
  DWORD mask = 0;
  if (!GetCommMask(file, &mask)) return FALSE;
  if (mask == 0) {
    // It would never end; the handset refuses it.
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if ((mask & (EV_RXCHAR | EV_BREAK | EV_ERR)) != 0) {
    DWORD errors = 0;
    COMSTAT stat;
    DWORD ready = 0;
    PortLock guard(*port);
    if (ClearCommError(file, &errors, &stat)) {
      port->heldErrors |= errors;
      if (stat.cbInQue > 0) ready |= EV_RXCHAR;
    }
    if (port->heldErrors & CE_BREAK) ready |= EV_BREAK;
    if (port->heldErrors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN)) ready |= EV_ERR;
    if ((ready & mask) != 0) {
      *events = ready & mask;
      return TRUE;
    }
  }
  return Await(port, Kind::Wait, NULL, events,
               [&](Operation* operation) { return WaitCommEvent(file, &operation->events, &operation->overlapped); });
}

BOOL WINAPI CeSetCommMask(HANDLE file, DWORD mask) {
  std::shared_ptr<Port> port = FindPort(file);
  if (!port) return SetCommMask(file, mask);
  // The desktop ends a pending wait with no events itself; Wine ends it as
  // a failed wait, so the waits begun before the new mask are ended here.
  PortLock guard(*port);
  BOOL ok = SetCommMask(file, mask);
  if (ok) EndOperations(*port, Kind::Wait, &Operation::maskChanged);
  return ok;
}

BOOL WINAPI CePurgeComm(HANDLE file, DWORD flags) {
  std::shared_ptr<Port> port = FindPort(file);
  if (!port) return PurgeComm(file, flags);
  // The transfers the abort flags name are ended here, as the desktop and
  // the handset end them; Wine ends none and flushes the queues instead.
  // Ending the reads keeps the input queue, as on the handset, so the
  // driver is not given PURGE_RXABORT.
  PortLock guard(*port);
  const DWORD known = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  DWORD driverFlags = (flags & known) == flags ? flags & ~(DWORD)PURGE_RXABORT : flags;
  BOOL ok = driverFlags != 0 ? PurgeComm(file, driverFlags) : TRUE;
  if (ok && (flags & PURGE_RXABORT)) EndOperations(*port, Kind::Read, &Operation::aborted);
  if (ok && (flags & PURGE_TXABORT)) EndOperations(*port, Kind::Write, &Operation::aborted);
  return ok;
}

BOOL WINAPI CeClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat) {
  std::shared_ptr<Port> port = FindPort(file);
  if (!port) return ClearCommError(file, errors, stat);
  PortLock guard(*port);
  DWORD found = 0;
  BOOL ok = ClearCommError(file, &found, stat);
  if (!ok) return FALSE;
  if (errors != NULL) *errors = found | port->heldErrors;
  port->heldErrors = 0;
  return TRUE;
}
