// The desktop the processes of one user share, so that FindWindowW sees the
// windows of other processes and SetForegroundWindow can bring them to the
// front (the utility's single-instance rule relies on both).
//
// It is a directory, by default $XDG_RUNTIME_DIR/fwutil or, without that
// variable, /tmp/fwutil-<uid> (mode 0700). The environment variable
// FWUTIL_DESKTOP or SetDesktopDirectory() choose another one; processes
// with different directories never see each other (parallel tests).
//
// It holds one file per live top-level window, "<pid>-<hwnd>.window":
//   pid <decimal>
//   hwnd <hex>             the window's handle in its own process
//   class <text>           UTF-8; '%', CR and LF written as %25 %0D %0A
//   title <text>
//   socket <path>          the owning process's request socket
// written atomically (a temporary file renamed) when the window is created
// or retitled and removed when it is destroyed or its thread ends. Each
// process with windows listens on a UNIX stream socket "<pid>.sock" in the
// same directory (an abstract socket if that path is too long) for one-line
// requests: "foreground <hwnd-hex>\n", answered "ok\n" or "no\n".
// Entries whose process is gone (no such pid, or its socket refuses
// connections) are stale: lookups skip them and delete them.
#pragma once

#include <string>

namespace windowing {

std::string DesktopDirectory();
// Chooses the directory (created if missing). Windows already published
// stay where they are: call it before the first window.
void SetDesktopDirectory(std::string path);
// A desktop of this process alone: a fresh temporary directory, removed at
// exit. For tests, which must not see each other's windows. Returns it.
std::string UsePrivateDesktop();

}  // namespace windowing
