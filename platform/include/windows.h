// The platform's master header, as on the handset.
#ifndef WINDOWS_H
#define WINDOWS_H

#ifndef UNICODE
#define UNICODE
#endif

#include <windef.h>
#include <winerror.h>
#include <winbase.h>
#include <winuser.h>
#include <winreg.h>
#include <winioctl.h>

#endif  // WINDOWS_H
