// The window tests' fixture, on the stand-in: the private desktop, program
// resources, the platform clock's speed, and the screen as the person sees
// it (what the SDK has no call for: message boxes are no windows here).
#include "WindowTestSupport.h"

#include "kernel/Clock.h"
#include "kernel/Modules.h"
#include "windowing/Desktop.h"
#include "windowing/Screen.h"

namespace wintest {

const std::string kPrivateDesktop = windowing::UsePrivateDesktop();

HINSTANCE RegisterResources(std::span<const uint8_t> image) {
  return kernel::RegisterProgramModule(u"test.exe", image);
}

FastClock::FastClock(int factor) { kernel::SetClockSpeed(factor); }
FastClock::~FastClock() { kernel::SetClockSpeed(1); }

std::vector<Box> OpenBoxes() {
  std::vector<Box> boxes;
  for (const screen::ModalView& m : screen::Capture().modals) {
    if (m.kind != screen::ModalView::Kind::kMessageBox || m.box.answered) continue;
    boxes.push_back(Box{m.box.id, m.box.text, m.box.caption, m.box.buttons, m.box.icon, m.box.owner});
  }
  return boxes;
}

bool AnswerBox(uint64_t id, int result) { return screen::AnswerBox(id, result); }

bool NothingModal() { return screen::Capture().modals.empty(); }

bool PressDone() { return screen::PressDone(); }

bool MenuBarShown() { return screen::Capture().menuBar.has_value(); }

HWND DialogInFront() {
  HWND dialog = nullptr;
  for (const screen::ModalView& m : screen::Capture().modals) {
    if (m.kind == screen::ModalView::Kind::kDialog) dialog = m.dialog.hwnd;
  }
  return dialog;
}

std::u16string TitleBar() { return screen::Capture().title; }

bool ShownDisabled(HWND window) {
  auto shown = screen::Capture().window;
  return shown && shown->hwnd == window && !shown->enabled;
}

RECT DisplayRect() { return RECT{0, 0, screen::kWidth, screen::kHeight}; }

RECT WorkArea() { return screen::WorkArea(); }

int LineHeight() { return screen::kLineHeight; }

}  // namespace wintest
