/* libptyhelper.so: modem-control lines for pseudo-terminals, preloaded
 * (LD_PRELOAD) into Wine when a COM port is mapped to a pty.
 *
 * A pty has no modem-control lines: TIOCMGET, TIOCMSET, TIOCMBIS and
 * TIOCMBIC fail on it. Wine's serial driver relies on them. Its
 * WaitCommEvent polls the line with TIOCMGET and ends the wait, reporting
 * no event, as soon as that fails, so on a pty every wait returns at once
 * with nothing; and SetCommState fails when it cannot raise DTR or RTS.
 *
 * This helper answers those four requests on a pty only after the real call
 * has failed (real serial devices are never touched): it keeps the DTR and
 * RTS bits that were set, and reports CTS, DSR and carrier as on, as a
 * null-modem cable from a partner that is always ready would.
 *
 * A pty carries no breaks or line errors either. When PTYHELPER_LINE_EVENTS
 * names a file, TIOCGICOUNT on a pty (which fails there too) reports how
 * many lines "break", "framing", "parity" and "overrun" that file holds: the
 * module simulator at the pty's far end appends one per condition it sends
 * (modulesim --line-events). Wine compares these counters between polls and
 * reports EV_BREAK and EV_ERR. The file speaks for every pty of the process,
 * so a test sets it only for a process with the simulator's line open.
 *
 * Every other request goes to the C library unchanged. The helper answers
 * under both names the C library gives ioctl on a 32-bit system. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

/* One set of output lines for the process: the ports of one Wine process
 * under test are driven the same way, and the bits are only reported back. */
static int output_lines = TIOCM_DTR | TIOCM_RTS;

static int is_emulated_request(unsigned long request) {
  return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC ||
         request == TIOCGICOUNT;
}

/* The line's condition counters from the simulator's file (none without). */
static void count_line_events(struct serial_icounter_struct* counters) {
  const char* path = getenv("PTYHELPER_LINE_EVENTS");
  char line[32];
  FILE* file;
  memset(counters, 0, sizeof(*counters));
  if (path == NULL || (file = fopen(path, "re")) == NULL) return;
  while (fgets(line, sizeof(line), file) != NULL) {
    if (strcmp(line, "break\n") == 0) counters->brk++;
    else if (strcmp(line, "framing\n") == 0) counters->frame++;
    else if (strcmp(line, "parity\n") == 0) counters->parity++;
    else if (strcmp(line, "overrun\n") == 0) counters->overrun++;
  }
  fclose(file);
}

/* Answers an emulated request on a pty after the real call failed. */
static int emulate(int fd, unsigned long request, void* argument, int result) {
  int* bits;
  int saved_errno;

  if (result == 0 || !is_emulated_request(request) || argument == NULL) return result;
  saved_errno = errno;
  if ((saved_errno != EINVAL && saved_errno != ENOTTY) || !isatty(fd)) {
    errno = saved_errno;
    return result;
  }

  bits = (int*)argument;
  switch (request) {
    case TIOCGICOUNT:
      count_line_events((struct serial_icounter_struct*)argument);
      break;
    case TIOCMGET:
      *bits = (output_lines & (TIOCM_DTR | TIOCM_RTS)) | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
      break;
    case TIOCMSET:
      output_lines = *bits;
      break;
    case TIOCMBIS:
      output_lines |= *bits;
      break;
    case TIOCMBIC:
      output_lines &= ~*bits;
      break;
  }
  errno = 0;
  return 0;
}

/* Makes the C library's call by `name` (found once, into `real`), then
 * answers an emulated request it failed. */
static int call(ioctl_fn* real, const char* name, int fd, unsigned long request, void* argument) {
  if (*real == NULL) *real = (ioctl_fn)dlsym(RTLD_NEXT, name);
  if (*real == NULL) *real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  return emulate(fd, request, argument, (*real)(fd, request, argument));
}

/* Every request used here takes one pointer argument. */
#define ONE_ARGUMENT(argument, last)  \
  do {                                \
    va_list arguments;                \
    va_start(arguments, last);        \
    argument = va_arg(arguments, void*); \
    va_end(arguments);                \
  } while (0)

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  void* argument;
  ONE_ARGUMENT(argument, request);
  return call(&real, "ioctl", fd, request, argument);
}

#if defined(__GLIBC__) && __WORDSIZE == 32
/* A 32-bit program built with a 64-bit time_t (_TIME_BITS=64, as a 32-bit
 * Wine may be) calls ioctl under this name; the C library has it since
 * 2.34. */
int __ioctl_time64(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  void* argument;
  ONE_ARGUMENT(argument, request);
  return call(&real, "__ioctl_time64", fd, request, argument);
}
#endif
