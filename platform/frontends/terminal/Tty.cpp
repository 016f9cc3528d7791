#include "frontends/terminal/Tty.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <iterator>

#define NCURSES_NOMACROS 1
#include <curses.h>
#include <term.h>

namespace terminal::tty {
namespace {

// ------------------------------------------- state the signal handlers read
// Written only while no handler of ours is installed, or atomically.

std::atomic<bool> g_taken{false};       // the terminal is in curses mode
std::atomic<bool> g_stderrHeld{false};  // fd 2 goes to g_held
int g_ttyFd = 0;
termios g_saved{};
char g_reset[512];  // what puts the terminal's screen back (normal screen, cursor, attributes)
size_t g_resetLength = 0;
int g_held = -1;           // the memory file standard error goes to
int g_realStderr = -1;     // the original standard error
int g_pipe[2] = {-1, -1};  // wake-ups: 0 from Wake(), else a signal number

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
struct sigaction g_old[NSIG];
bool g_installed[NSIG];

// ------------------------------------------------- async-signal-safe parts

void WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    length -= static_cast<size_t>(n);
  }
}

void PutBackStderr() {
  if (!g_stderrHeld.exchange(false)) return;
  dup2(g_realStderr, STDERR_FILENO);
  char buffer[4096];
  off_t at = 0;
  for (;;) {
    ssize_t n = pread(g_held, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    WriteAll(STDERR_FILENO, buffer, static_cast<size_t>(n));
    at += n;
  }
}

void RestoreNow() {
  if (g_taken.exchange(false)) {
    WriteAll(g_ttyFd, g_reset, g_resetLength);
    tcsetattr(g_ttyFd, TCSANOW, &g_saved);
  }
  PutBackStderr();
}

void OnResize(int) {
  int saved = errno;
  char byte = static_cast<char>(SIGWINCH);
  [[maybe_unused]] ssize_t n = write(g_pipe[1], &byte, 1);
  errno = saved;
}

void OnEnding(int sig) {
  RestoreNow();
  signal(sig, SIG_DFL);
  raise(sig);  // delivered as this handler returns
}

void OnFault(int sig, siginfo_t* info, void*) {
  RestoreNow();
  // The previous handler (default, or a sanitizer's) takes it over: a real
  // fault recurs as this returns; a sent one (kill, raise, abort) is sent
  // again.
  sigaction(sig, &g_old[sig], nullptr);
  if (info == nullptr || info->si_code <= 0) raise(sig);
}

void AtExit() { RestoreNow(); }

// ---------------------------------------------------------------- helpers

void Install(int sig, void (*handler)(int), void (*infoHandler)(int, siginfo_t*, void*), bool keepIgnored) {
  struct sigaction old {};
  sigaction(sig, nullptr, &old);
  if (keepIgnored && old.sa_handler == SIG_IGN && !(old.sa_flags & SA_SIGINFO)) return;
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (infoHandler) {
    action.sa_sigaction = infoHandler;
    action.sa_flags |= SA_SIGINFO;
  } else {
    action.sa_handler = handler;
  }
  g_old[sig] = old;
  g_installed[sig] = true;
  sigaction(sig, &action, nullptr);
}

void UninstallAll() {
  for (int sig = 1; sig < NSIG; ++sig) {
    if (!g_installed[sig]) continue;
    sigaction(sig, &g_old[sig], nullptr);
    g_installed[sig] = false;
  }
}

// Appends a terminfo string without its padding ("$<5>").
void AppendCap(const char* name) {
  char* cap = tigetstr(const_cast<char*>(name));
  if (cap == nullptr || cap == reinterpret_cast<char*>(-1)) return;
  for (const char* p = cap; *p; ++p) {
    if (p[0] == '$' && p[1] == '<') {
      const char* end = std::strchr(p, '>');
      if (end) {
        p = end;
        continue;
      }
    }
    if (g_resetLength + 1 < sizeof g_reset) g_reset[g_resetLength++] = *p;
  }
}

bool EnsurePipe() {
  if (g_pipe[0] >= 0) return true;
  // Kept open for good: a late signal must never write to a reused fd.
  return pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) == 0;
}

SCREEN* g_screen = nullptr;
int g_epoll = -1;

void HoldStderr() {
  if (!isatty(STDERR_FILENO)) return;
  if (g_held < 0) g_held = memfd_create("fwutil-stderr", MFD_CLOEXEC);
  if (g_held < 0) return;
  if (ftruncate(g_held, 0) != 0) return;
  if (g_realStderr < 0) g_realStderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (g_realStderr < 0) return;
  if (dup2(g_held, STDERR_FILENO) < 0) return;
  g_stderrHeld = true;
}

chtype AttrOf(uint8_t attr) {
  chtype a = A_NORMAL;
  if (attr & kReverse) a |= A_REVERSE;
  if (attr & kBold) a |= A_BOLD;
  if (attr & kDim) a |= A_DIM;
  if (attr & kUnderline) a |= A_UNDERLINE;
  return a;
}

// Line drawing and marks through the terminal's alternate character set.
bool AcsOf(char32_t ch, chtype& out) {
  switch (ch) {
    case kHLine:
      out = ACS_HLINE;
      return true;
    case kVLine:
      out = ACS_VLINE;
      return true;
    case kTopLeft:
      out = ACS_ULCORNER;
      return true;
    case kTopRight:
      out = ACS_URCORNER;
      return true;
    case kBottomLeft:
      out = ACS_LLCORNER;
      return true;
    case kBottomRight:
      out = ACS_LRCORNER;
      return true;
    case kTeeLeft:
      out = ACS_LTEE;
      return true;
    case kTeeRight:
      out = ACS_RTEE;
      return true;
    case kTrack:
      out = ACS_CKBOARD;
      return true;
    case kThumb:
      out = ACS_BLOCK;
      return true;
    case kSubmenu:
      out = ACS_RARROW;
      return true;
    default:
      return false;
  }
}

char NarrowOf(char32_t ch) {
  if (ch >= 0x20 && ch < 0x7F) return static_cast<char>(ch);
  if (ch == kCheck) return '*';
  if (ch == kEllipsis) return '~';
  return '?';
}

void PutCell(int row, int col, const Cell& cell) {
  const chtype attr = AttrOf(cell.attr);
  chtype acs;
  if (AcsOf(cell.ch, acs)) {
    mvwaddch(stdscr, row, col, acs | attr);
    return;
  }
#if FWUTIL_CURSES_WIDE
  if (cell.ch >= 0x80 && MB_CUR_MAX > 1) {
    wchar_t text[2] = {static_cast<wchar_t>(cell.ch), L'\0'};
    cchar_t wide;
    if (setcchar(&wide, text, static_cast<attr_t>(attr), 0, nullptr) == OK) {
      mvwadd_wch(stdscr, row, col, &wide);
      return;
    }
  }
#endif
  mvwaddch(stdscr, row, col, static_cast<chtype>(static_cast<unsigned char>(NarrowOf(cell.ch))) | attr);
}

// Whether the terminal can be taken; keeps its settings to give back.
bool CanTake(std::string& error) {
  if (g_screen) {
    error = "the terminal is already taken";
    return false;
  }
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
    error = "the terminal front end needs a terminal on standard input and output";
    return false;
  }
  if (!EnsurePipe()) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  g_ttyFd = STDIN_FILENO;
  if (tcgetattr(g_ttyFd, &g_saved) != 0) {
    error = std::string("cannot read the terminal's settings: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// Ours before newterm, so that ncurses keeps its own handlers out.
void InstallHandlers() {
  Install(SIGWINCH, OnResize, nullptr, false);
  for (int sig : kEndingSignals) Install(sig, OnEnding, nullptr, true);
  for (int sig : kFaultSignals) Install(sig, nullptr, OnFault, false);
  static bool atExit = (std::atexit(AtExit), true);
  (void)atExit;
}

bool StartCurses(std::string& error) {
#if FWUTIL_CURSES_WIDE
  std::setlocale(LC_CTYPE, "");
#endif
  // Asked first on its own: a newterm that fails keeps memory it never frees.
  int known = 0;
  if (setupterm(nullptr, STDOUT_FILENO, &known) == OK) {
    del_curterm(cur_term);
    g_screen = newterm(nullptr, stdout, stdin);
  }
  if (!g_screen) {
    const char* term = std::getenv("TERM");
    error = std::string("ncurses cannot drive this terminal (TERM=") + (term ? term : "") + ")";
    return false;
  }
  set_term(g_screen);
  raw();  // Ctrl+Q and Ctrl+C arrive as keys, not as flow control and a signal
  noecho();
  nonl();
  keypad(stdscr, TRUE);
  nodelay(stdscr, TRUE);
  set_escdelay(25);
  curs_set(0);
  return true;
}

// What puts the terminal back from a signal handler, where ncurses cannot
// be called: attributes off, the cursor on, keypad off, the normal screen.
void RecordReset() {
  g_resetLength = 0;
  AppendCap("sgr0");
  AppendCap("cnorm");
  AppendCap("rmkx");
  AppendCap("rmcup");
}

// The front end's thread sleeps on the keys and on the wake-up pipe at once.
void WatchKeysAndWakeUps() {
  g_epoll = epoll_create1(EPOLL_CLOEXEC);
  epoll_event in{};
  in.events = EPOLLIN;
  in.data.fd = STDIN_FILENO;
  epoll_ctl(g_epoll, EPOLL_CTL_ADD, STDIN_FILENO, &in);
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.fd = g_pipe[0];
  epoll_ctl(g_epoll, EPOLL_CTL_ADD, g_pipe[0], &wake);
}

}  // namespace

bool Open(std::string& error) {
  if (!CanTake(error)) return false;
  InstallHandlers();
  if (!StartCurses(error)) {
    UninstallAll();
    return false;
  }
  RecordReset();
  WatchKeysAndWakeUps();
  HoldStderr();
  g_taken = true;
  return true;
}

void Close() {
  if (!g_screen) return;
  if (g_taken.exchange(false)) endwin();
  PutBackStderr();
  UninstallAll();
  delscreen(g_screen);
  g_screen = nullptr;
  close(g_epoll);
  g_epoll = -1;
  TakeEvents();  // nothing left over for the next owner
}

bool IsOpen() { return g_screen != nullptr; }

int EventFd() { return g_epoll; }

void Wake() {
  char byte = 0;
  [[maybe_unused]] ssize_t n = write(g_pipe[1], &byte, 1);
}

Events TakeEvents() {
  Events events;
  char buffer[64];
  ssize_t n;
  while ((n = read(g_pipe[0], buffer, sizeof buffer)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == static_cast<char>(SIGWINCH)) {
        events.resized = true;
      } else {
        events.woken = true;
      }
    }
  }
  return events;
}

std::vector<RawKey> ReadKeys() {
  std::vector<RawKey> keys;
  if (!g_screen) return keys;
  for (;;) {
    int code = wgetch(stdscr);
    if (code == ERR) break;
    RawKey key;
    key.code = code;
    if (code == 27) {
      // Esc followed at once by a key is how terminals send Alt+key.
      int next = wgetch(stdscr);
      if (next != ERR && next != 27) {
        key.code = next;
        key.alt = true;
      } else if (next == 27) {
        ungetch(next);
      }
    }
    if (key.code > KEY_MAX) {
      const char* name = keyname(key.code);
      if (name) key.name = name;
    }
    keys.push_back(std::move(key));
  }
  return keys;
}

void Resize(int& rows, int& cols) {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
    resizeterm(size.ws_row, size.ws_col);
  }
  Size(rows, cols);
}

void Size(int& rows, int& cols) {
  rows = getmaxy(stdscr);
  cols = getmaxx(stdscr);
}

void Draw(const Grid& grid, bool full) {
  if (!g_taken) return;
  if (full) clearok(curscr, TRUE);
  const int maxRows = getmaxy(stdscr), maxCols = getmaxx(stdscr);
  const int rows = std::min(grid.rows, maxRows);
  const int cols = std::min(grid.cols, maxCols);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      // The bottom-right cell of the terminal would scroll it.
      if (r == maxRows - 1 && c == maxCols - 1) continue;
      PutCell(r, c, grid.At(r, c));
    }
  }
  if (grid.cursorRow >= 0 && grid.cursorRow < rows && grid.cursorCol >= 0 && grid.cursorCol < cols) {
    curs_set(1);
    wmove(stdscr, grid.cursorRow, grid.cursorCol);
  } else {
    curs_set(0);
  }
  wrefresh(stdscr);
}

}  // namespace terminal::tty
