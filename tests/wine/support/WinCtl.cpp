// winctl: a small Win32 console program that the Wine tests use to look at
// and drive the utility from outside, as another process of the same
// desktop: find its window, read its window tree and log view, send
// commands, answer message boxes.
//
//   winctl wait-window MS            the main window exists within MS ms
//   winctl wait-gone MS              no main window within MS ms
//   winctl tree                      the main window, its menu and children
//   winctl command ID                posts WM_COMMAND ID to the main window
//   winctl log                       the log view's text
//   winctl wait-log TEXT MS          the log view holds TEXT within MS ms
//   winctl wait-dialog CAPTION MS    a dialog with CAPTION: its tree
//   winctl press CAPTION ID          WM_COMMAND ID to that dialog
//   winctl wait-no-dialog CAPTION MS no such dialog within MS ms
//   winctl close                     WM_CLOSE to the main window
//   winctl menu-keys VK...           opens the menu bar from the keyboard
//                                    (SC_KEYMENU), then the keys, in order
//   winctl resource-menu EXE ID      menu resource ID of EXE, as a tree
//   winctl debug-output              every OutputDebugString text of the
//                                    desktop's programs (the utility's
//                                    trace), on standard output as it
//                                    comes (after a first line once it
//                                    listens), until ended
//
// Exit status 0: done; 1: not found or timed out; 2: usage.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

static const wchar_t kMainClass[] = L"Firmware Utility";
static const int kLogViewId = 5;

static void Print(const std::wstring& text) {
  // UTF-8 on standard output, with the log's "\r\n" as plain line ends.
  std::wstring plain;
  for (wchar_t c : text)
    if (c != L'\r') plain += c;
  int size = WideCharToMultiByte(CP_UTF8, 0, plain.c_str(), (int)plain.size(), NULL, 0, NULL, NULL);
  std::string narrow(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, plain.c_str(), (int)plain.size(), narrow.data(), size, NULL, NULL);
  fwrite(narrow.data(), 1, narrow.size(), stdout);
  fflush(stdout);
}

static std::wstring Widen(const char* text) {
  int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0);
  std::wstring wide(size > 0 ? size - 1 : 0, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), size);
  return wide;
}

static HWND MainWindow() { return FindWindowW(kMainClass, NULL); }

// WM_GETTEXT is carried across processes by the window manager.
static std::wstring TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return L"";
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, length + 1, (LPARAM)text.data(), SMTO_ABORTIFHUNG, 5000, &copied);
  text.resize(copied);
  return text;
}

static std::wstring ClassOf(HWND window) {
  wchar_t name[64] = L"";
  GetClassNameW(window, name, 64);
  return name;
}

static BOOL CALLBACK PrintChild(HWND child, LPARAM) {
  if (GetParent(child) == NULL) return TRUE;
  LONG style = GetWindowLongW(child, GWL_STYLE);
  wchar_t line[160];
  swprintf(line, 160, L"child %d class=%ls visible=%d", GetDlgCtrlID(child), ClassOf(child).c_str(),
           (style & WS_VISIBLE) ? 1 : 0);
  std::wstring out = line;
  if (_wcsicmp(ClassOf(child).c_str(), L"edit") == 0) {
    swprintf(line, 160, L" multiline=%d readonly=%d", (style & ES_MULTILINE) ? 1 : 0, (style & ES_READONLY) ? 1 : 0);
    out += line;
  } else {
    out += L" text=\"" + TextOf(child) + L"\"";
  }
  Print(out + L"\n");
  return TRUE;
}

static void PrintMenu(HMENU menu, int depth) {
  int count = GetMenuItemCount(menu);
  for (int i = 0; i < count; i++) {
    wchar_t text[128] = L"";
    MENUITEMINFOW item;
    memset(&item, 0, sizeof(item));
    item.cbSize = sizeof(item);
    item.fMask = MIIM_FTYPE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
    item.dwTypeData = text;
    item.cch = 128;
    if (!GetMenuItemInfoW(menu, i, TRUE, &item)) continue;
    std::wstring line(depth * 2, L' ');
    wchar_t id[32];
    swprintf(id, 32, L"%u", item.wID);
    if (item.fType & MFT_SEPARATOR) {
      line += L"separator";
    } else if (item.hSubMenu != NULL) {
      line += L"popup \"" + std::wstring(text) + L"\"";
    } else {
      line += L"item " + std::wstring(id) + L" \"" + std::wstring(text) + L"\"";
    }
    Print(line + L"\n");
    if (item.hSubMenu != NULL) PrintMenu(item.hSubMenu, depth + 1);
  }
}

// Prints a top-level window: its title, its menu and its children.
static void PrintTree(HWND window) {
  LONG style = GetWindowLongW(window, GWL_STYLE);
  Print(L"window class=\"" + ClassOf(window) + L"\" title=\"" + TextOf(window) + L"\" visible=" +
        ((style & WS_VISIBLE) ? L"1" : L"0") + L"\n");
  HMENU menu = GetMenu(window);
  if (menu != NULL) {
    Print(L"menu\n");
    PrintMenu(menu, 1);
  }
  EnumChildWindows(window, PrintChild, 0);
}

struct DialogSearch {
  std::wstring caption;
  DWORD process;
  HWND found;
};

static BOOL CALLBACK FindDialog(HWND window, LPARAM parameter) {
  DialogSearch* search = (DialogSearch*)parameter;
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != search->process || !IsWindowVisible(window)) return TRUE;
  if (ClassOf(window) != L"#32770" || TextOf(window) != search->caption) return TRUE;
  search->found = window;
  return FALSE;
}

// A visible dialog (message boxes included) of the utility's process.
static HWND Dialog(const std::wstring& caption) {
  HWND main = MainWindow();
  if (main == NULL) return NULL;
  DialogSearch search = {caption, 0, NULL};
  GetWindowThreadProcessId(main, &search.process);
  EnumWindows(FindDialog, (LPARAM)&search);
  return search.found;
}

struct PopupSearch {
  DWORD process;
  bool found;
};

static BOOL CALLBACK FindPopupMenu(HWND window, LPARAM parameter) {
  PopupSearch* search = (PopupSearch*)parameter;
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == search->process && IsWindowVisible(window) && ClassOf(window) == L"#32768") search->found = true;
  return !search->found;
}

// A drop-down menu of the utility is open.
static bool PopupMenuShown() {
  HWND main = MainWindow();
  if (main == NULL) return false;
  PopupSearch search = {0, false};
  GetWindowThreadProcessId(main, &search.process);
  EnumWindows(FindPopupMenu, (LPARAM)&search);
  return search.found;
}

static void PostKey(HWND window, UINT key) {
  PostMessageW(window, WM_KEYDOWN, key, 1);
  PostMessageW(window, WM_KEYUP, key, 0xC0000001);
}

template <typename Condition>
static bool WaitFor(DWORD milliseconds, Condition condition) {
  DWORD start = GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (GetTickCount() - start > milliseconds) return false;
    Sleep(50);
  }
}

// A debug-output monitor by the desktop's convention: OutputDebugString,
// with no debugger attached, hands its text (after the writer's process
// id) over in the shared buffer DBWIN_BUFFER once DBWIN_BUFFER_READY is
// set, and sets DBWIN_DATA_READY.
static int DebugOutput() {
  const DWORD size = 4096;
  HANDLE bufferReady = CreateEventW(NULL, FALSE, TRUE, L"DBWIN_BUFFER_READY");
  HANDLE dataReady = CreateEventW(NULL, FALSE, FALSE, L"DBWIN_DATA_READY");
  HANDLE buffer = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, size, L"DBWIN_BUFFER");
  const char* view = buffer != NULL ? (const char*)MapViewOfFile(buffer, FILE_MAP_READ, 0, 0, size) : NULL;
  if (bufferReady == NULL || dataReady == NULL || view == NULL) return 1;
  fputs("debug-output monitor ready\n", stdout);
  fflush(stdout);
  while (WaitForSingleObject(dataReady, INFINITE) == WAIT_OBJECT_0) {
    std::string text(view + sizeof(DWORD), strnlen(view + sizeof(DWORD), size - sizeof(DWORD)));
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
    SetEvent(bufferReady);
  }
  return 1;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  _setmode(_fileno(stdout), _O_BINARY);
  std::wstring verb = argv[1];
  auto number = [&](int i) { return i < argc ? (DWORD)wcstoul(argv[i], NULL, 0) : 0; };

  if (verb == L"wait-window") return WaitFor(number(2), [] { return MainWindow() != NULL; }) ? 0 : 1;
  if (verb == L"wait-gone") return WaitFor(number(2), [] { return MainWindow() == NULL; }) ? 0 : 1;
  if (verb == L"tree") {
    HWND main = MainWindow();
    if (main == NULL) return 1;
    PrintTree(main);
    return 0;
  }
  if (verb == L"command" && argc == 3) {
    HWND main = MainWindow();
    return main != NULL && PostMessageW(main, WM_COMMAND, MAKEWPARAM(number(2), 0), 0) ? 0 : 1;
  }
  if (verb == L"close") {
    HWND main = MainWindow();
    return main != NULL && PostMessageW(main, WM_CLOSE, 0, 0) ? 0 : 1;
  }
  if (verb == L"log") {
    HWND main = MainWindow();
    if (main == NULL) return 1;
    Print(TextOf(GetDlgItem(main, kLogViewId)));
    return 0;
  }
  if (verb == L"wait-log" && argc == 4) {
    std::wstring wanted = argv[2];
    bool found = WaitFor(number(3), [&] {
      HWND main = MainWindow();
      return main != NULL && TextOf(GetDlgItem(main, kLogViewId)).find(wanted) != std::wstring::npos;
    });
    if (!found) {
      HWND main = MainWindow();
      if (main != NULL) Print(L"log view:\n" + TextOf(GetDlgItem(main, kLogViewId)) + L"\n");
    }
    return found ? 0 : 1;
  }
  if (verb == L"wait-dialog" && argc == 4) {
    HWND dialog = NULL;
    if (!WaitFor(number(3), [&] { return (dialog = Dialog(argv[2])) != NULL; })) return 1;
    PrintTree(dialog);
    return 0;
  }
  if (verb == L"press" && argc == 4) {
    HWND dialog = Dialog(argv[2]);
    return dialog != NULL && PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(number(3), BN_CLICKED), 0) ? 0 : 1;
  }
  if (verb == L"wait-no-dialog" && argc == 4) {
    return WaitFor(number(3), [&] { return Dialog(argv[2]) == NULL; }) ? 0 : 1;
  }
  if (verb == L"menu-keys" && argc >= 3) {
    HWND main = MainWindow();
    if (main == NULL) return 1;
    // Posted messages keep their order: the menu loop that SC_KEYMENU starts
    // reads the keys. The first key opens the drop-down; the rest wait for it.
    PostMessageW(main, WM_SYSCOMMAND, SC_KEYMENU, 0);
    PostKey(main, number(2));
    if (!WaitFor(10000, PopupMenuShown)) return 1;
    for (int i = 3; i < argc; i++) {
      Sleep(200);
      PostKey(main, number(i));
    }
    return 0;
  }
  if (verb == L"resource-menu" && argc == 4) {
    HMODULE module = LoadLibraryExW(argv[2], NULL, LOAD_LIBRARY_AS_DATAFILE);
    HMENU menu = module != NULL ? LoadMenuW(module, MAKEINTRESOURCEW(number(3))) : NULL;
    if (menu == NULL) return 1;
    PrintMenu(menu, 0);
    return 0;
  }
  if (verb == L"debug-output") return DebugOutput();
  (void)Widen;
  return 2;
}
