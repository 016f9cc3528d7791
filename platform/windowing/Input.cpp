// Keyboard input: key events go into the input stream of the thread that
// owns the focus window (or the foreground window when nothing has the
// focus). While a message box is the topmost thing on the screen, it takes
// the keys itself; once answered, it holds them for what is in front after
// it (type-ahead). TranslateMessage turns the keys a thread takes into
// characters.
#include <windows.h>

#include "board/Board.h"
#include "kernel/Thread.h"
#include "windowing/WindowManager.h"

namespace windowing {
namespace {

// Enter presses the default button; Esc presses Cancel, or the only
// button of an OK box. Other keys do nothing to a box.
int BoxAnswerFor(const BoxRecord& box, BYTE vk) {
  if (vk == VK_RETURN) return box.defaultButton;
  if (vk == VK_ESCAPE) {
    for (int button : box.buttons) {
      if (button == IDCANCEL) return IDCANCEL;
    }
    if (box.buttons.size() == 1 && box.buttons[0] == IDOK) return IDOK;
  }
  return 0;
}

// Gives one key event to whatever takes the keys now: the topmost box, or
// the thread of the focus window (or of the foreground window when nothing
// has the focus). A box that is answered but still up, because its thread
// has not run since, keeps the keys for what comes after it: they were
// typed ahead, as a person does after pressing Enter on a box.
void DeliverKeyLocked(const KeyEvent& key) {
  Manager& m = Wm();
  if (!m.modals.empty() && m.modals.back().box) {
    BoxRecord& box = *m.modals.back().box;
    if (box.result != 0) {
      box.typeAhead.push_back(key);
    } else if (key.down) {
      if (int answer = BoxAnswerFor(box, key.vk)) {
        box.result = answer;
        WakeLocked(*box.queue);
        NoteChange();
      }
    }
    return;
  }
  std::shared_ptr<Window> target = FindLocked(m.focus);
  if (!target) target = FindLocked(m.foreground);
  if (!target || (target->style & WS_DISABLED) || target->queue->dead) return;  // nobody takes it
  bool system = (key.alt || key.vk == VK_MENU) && !key.control;
  MSG msg{};
  msg.hwnd = target->handle;
  msg.message = key.down ? (system ? WM_SYSKEYDOWN : WM_KEYDOWN) : (system ? WM_SYSKEYUP : WM_KEYUP);
  msg.wParam = key.vk;
  // Repeat count 1; bit 29 context (Alt), bit 30 previous state, bit 31 release.
  DWORD flags = 1;
  if (key.alt) flags |= 1u << 29;
  if (key.wasDown) flags |= 1u << 30;
  if (!key.down) flags |= 1u << 31;
  msg.lParam = static_cast<LPARAM>(flags);
  msg.time = key.time;
  target->queue->input.push_back(msg);
  target->queue->arrived |= QS_KEY;
  WakeLocked(*target->queue);
}

// The character a key makes on a US layout; 0 for none.
char16_t CharacterOf(BYTE vk, bool shift, bool control) {
  if (vk >= 'A' && vk <= 'Z') {
    if (control) return static_cast<char16_t>(vk - 'A' + 1);
    return static_cast<char16_t>(shift ? vk : vk - 'A' + 'a');
  }
  if (control) {
    if (vk == VK_RETURN) return u'\n';
    return 0;
  }
  if (vk >= '0' && vk <= '9') return shift ? u")!@#$%^&*("[vk - '0'] : static_cast<char16_t>(vk);
  switch (vk) {
    case VK_SPACE:
      return u' ';
    case VK_RETURN:
      return u'\r';
    case VK_BACK:
      return 8;
    case VK_TAB:
      return 9;
    case VK_ESCAPE:
      return 27;
    case 0xBA:
      return shift ? u':' : u';';
    case 0xBB:
      return shift ? u'+' : u'=';
    case 0xBC:
      return shift ? u'<' : u',';
    case 0xBD:
      return shift ? u'_' : u'-';
    case 0xBE:
      return shift ? u'>' : u'.';
    case 0xBF:
      return shift ? u'?' : u'/';
    case 0xC0:
      return shift ? u'~' : u'`';
    case 0xDB:
      return shift ? u'{' : u'[';
    case 0xDC:
      return shift ? u'|' : u'\\';
    case 0xDD:
      return shift ? u'}' : u']';
    case 0xDE:
      return shift ? u'"' : u'\'';
    default:
      return 0;
  }
}

}  // namespace

void RouteKeyEvent(BYTE vk, bool down) {
  DWORD time = GetTickCount();
  Manager& m = Wm();
  std::lock_guard<std::mutex> guard(m.lock);
  KeyEvent key;
  key.vk = vk;
  key.down = down;
  key.wasDown = (m.asyncKeys[vk] & 0x80) != 0;
  if (down) {
    m.asyncKeys[vk] |= 0x80;
  } else {
    m.asyncKeys[vk] &= static_cast<BYTE>(~0x80);
  }
  key.alt = (m.asyncKeys[VK_MENU] & 0x80) != 0;
  key.control = (m.asyncKeys[VK_CONTROL] & 0x80) != 0;
  key.time = time;
  DeliverKeyLocked(key);
}

void RouteTypeAheadLocked(const std::vector<KeyEvent>& keys) {
  for (const KeyEvent& key : keys) DeliverKeyLocked(key);
}

}  // namespace windowing

using kernel::PlatformCall;
using windowing::Wm;

void WINAPI keybd_event(BYTE bVk, BYTE bScan, DWORD dwFlags, DWORD dwExtraInfo) {
  PlatformCall call;
  board::Current().KeyEvent(bVk, bScan, dwFlags, dwExtraInfo);
  windowing::RouteKeyEvent(bVk, (dwFlags & KEYEVENTF_KEYUP) == 0);
}

SHORT WINAPI GetKeyState(int nVirtKey) {
  PlatformCall call;
  if (nVirtKey < 0 || nVirtKey > 255) return 0;
  std::lock_guard<std::mutex> guard(Wm().lock);
  BYTE state = windowing::CurrentQueue().keys[nVirtKey];
  return static_cast<SHORT>(((state & 0x80) ? 0xFF80 : 0) | (state & 0x01));
}

BOOL WINAPI TranslateMessage(const MSG* lpMsg) {
  PlatformCall call;
  if (lpMsg == nullptr) return FALSE;
  if (lpMsg->message != WM_KEYDOWN && lpMsg->message != WM_SYSKEYDOWN && lpMsg->message != WM_KEYUP &&
      lpMsg->message != WM_SYSKEYUP) {
    return FALSE;
  }
  if (lpMsg->message == WM_KEYUP || lpMsg->message == WM_SYSKEYUP) return TRUE;
  std::lock_guard<std::mutex> guard(Wm().lock);
  windowing::ThreadQueue& queue = windowing::CurrentQueue();
  bool shift = (queue.keys[VK_SHIFT] & 0x80) != 0;
  bool control = (queue.keys[VK_CONTROL] & 0x80) != 0;
  char16_t ch = windowing::CharacterOf(static_cast<BYTE>(lpMsg->wParam), shift, control);
  if (ch == 0) return TRUE;
  MSG msg = *lpMsg;
  msg.message = lpMsg->message == WM_SYSKEYDOWN ? WM_SYSCHAR : WM_CHAR;
  msg.wParam = ch;
  // Comes out next, before anything posted earlier.
  queue.posted.push_front(msg);
  return TRUE;
}
