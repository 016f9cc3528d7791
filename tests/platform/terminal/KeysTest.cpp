// Terminal keys: ncurses codes as virtual keys, what each key does in each
// state of the screen (menu open, box on top, dialog, prompt), and the key
// table: no key bound twice, the help texts, the README's tables.
#include "frontends/terminal/Keys.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "Snapshots.h"
#include "TestKeyCodes.h"

namespace terminal {
namespace {

using namespace terminal::testing;
using screen::kAlt;
using screen::kControl;
using screen::kShift;

KeyPress K(uint8_t vk, unsigned mods = 0, char32_t ch = 0) { return KeyPress{vk, mods, ch}; }

TEST(TerminalKeyCodes, PrintableCharactersOnAUsKeyboard) {
  EXPECT_EQ(DecodeKey('a'), K('A', 0, U'a'));
  EXPECT_EQ(DecodeKey('Q'), K('Q', kShift, U'Q'));
  EXPECT_EQ(DecodeKey('7'), K('7', 0, U'7'));
  EXPECT_EQ(DecodeKey('&'), K('7', kShift, U'&'));
  EXPECT_EQ(DecodeKey(' '), K(VK_SPACE, 0, U' '));
  EXPECT_EQ(DecodeKey(':'), K(kVkOem1, kShift, U':'));
  EXPECT_EQ(DecodeKey(';'), K(kVkOem1, 0, U';'));
  EXPECT_EQ(DecodeKey('?'), K(kVkOem2, kShift, U'?'));
  EXPECT_EQ(DecodeKey('\\'), K(kVkOem5, 0, U'\\'));
  EXPECT_EQ(DecodeKey('"'), K(kVkOem7, kShift, U'"'));
  EXPECT_EQ(DecodeKey('~'), K(kVkOem3, kShift, U'~'));
  // Every printable ASCII character is some key.
  for (int c = 0x20; c < 0x7F; ++c) {
    auto k = DecodeKey(c);
    ASSERT_TRUE(k) << c;
    EXPECT_EQ(k->ch, static_cast<char32_t>(c));
    EXPECT_NE(k->vk, 0);
  }
}

TEST(TerminalKeyCodes, ControlCharactersAndEditingKeys) {
  EXPECT_EQ(DecodeKey(0x11), K('Q', kControl));  // Ctrl+Q, the utility's Exit
  EXPECT_EQ(DecodeKey(0x03), K('C', kControl));
  EXPECT_EQ(DecodeKey(0x0F), K('O', kControl));
  EXPECT_EQ(DecodeKey('\r'), K(VK_RETURN));
  EXPECT_EQ(DecodeKey('\n'), K(VK_RETURN));
  EXPECT_EQ(DecodeKey(test::kKeyEnter), K(VK_RETURN));
  EXPECT_EQ(DecodeKey('\t'), K(VK_TAB));
  EXPECT_EQ(DecodeKey(0x1B), K(VK_ESCAPE));
  EXPECT_EQ(DecodeKey(0x7F), K(VK_BACK));
  EXPECT_EQ(DecodeKey(test::kKeyBackspace), K(VK_BACK));
  EXPECT_EQ(DecodeKey(0x00), K(VK_SPACE, kControl));
  EXPECT_EQ(DecodeKey(test::kKeyUp), K(VK_UP));
  EXPECT_EQ(DecodeKey(test::kKeyDown), K(VK_DOWN));
  EXPECT_EQ(DecodeKey(test::kKeyLeft), K(VK_LEFT));
  EXPECT_EQ(DecodeKey(test::kKeyRight), K(VK_RIGHT));
  EXPECT_EQ(DecodeKey(test::kKeyHome), K(VK_HOME));
  EXPECT_EQ(DecodeKey(test::kKeyEnd), K(VK_END));
  EXPECT_EQ(DecodeKey(test::kKeyPPage), K(VK_PRIOR));
  EXPECT_EQ(DecodeKey(test::kKeyNPage), K(VK_NEXT));
  EXPECT_EQ(DecodeKey(test::kKeyDc), K(VK_DELETE));
  EXPECT_EQ(DecodeKey(test::kKeyIc), K(kVkInsert));
  EXPECT_EQ(DecodeKey(test::kKeyBTab), K(VK_TAB, kShift));
  EXPECT_EQ(DecodeKey(test::kKeySLeft), K(VK_LEFT, kShift));
  EXPECT_EQ(DecodeKey(test::kKeySR), K(VK_UP, kShift));
  EXPECT_EQ(DecodeKey(test::kKeySNext), K(VK_NEXT, kShift));
}

TEST(TerminalKeyCodes, FunctionKeysWithXtermModifierBanks) {
  EXPECT_EQ(DecodeKey(test::KeyF(1)), K(VK_F1));
  EXPECT_EQ(DecodeKey(test::KeyF(2)), K(kVkF2));
  EXPECT_EQ(DecodeKey(test::KeyF(10)), K(kVkF10));
  EXPECT_EQ(DecodeKey(test::KeyF(13)), K(VK_F1, kShift));
  EXPECT_EQ(DecodeKey(test::KeyF(26)), K(kVkF2, kControl));
  EXPECT_EQ(DecodeKey(test::KeyF(37)), K(VK_F1, kControl | kShift));
  EXPECT_EQ(DecodeKey(test::KeyF(49)), K(VK_F1, kAlt));
}

TEST(TerminalKeyCodes, AltPrefixAndExtendedKeyNames) {
  EXPECT_EQ(DecodeKey('x', true), K('X', kAlt, U'x'));
  EXPECT_EQ(DecodeKey(test::kKeyUp, true), K(VK_UP, kAlt));
  // Codes beyond KEY_MAX carry terminfo's extended names.
  EXPECT_EQ(DecodeKey(600, false, "kLFT5"), K(VK_LEFT, kControl));
  EXPECT_EQ(DecodeKey(600, false, "kUP2"), K(VK_UP, kShift));
  EXPECT_EQ(DecodeKey(600, false, "kDN7"), K(VK_DOWN, kControl | kAlt));
  EXPECT_EQ(DecodeKey(600, false, "kNXT3"), K(VK_NEXT, kAlt));
  EXPECT_EQ(DecodeKey(600, false, "kHOM6"), K(VK_HOME, kControl | kShift));
  EXPECT_EQ(DecodeKey(600, false, "kDC5"), K(VK_DELETE, kControl));
  EXPECT_FALSE(DecodeKey(600, false, "kFOO5"));
  EXPECT_FALSE(DecodeKey(600, false, "kLFT9"));
  EXPECT_FALSE(DecodeKey(600, false, ""));
  // Not key presses.
  EXPECT_FALSE(DecodeKey(-1));
  EXPECT_FALSE(DecodeKey(test::kKeyResize));
  EXPECT_FALSE(DecodeKey(test::kKeyMouse));
}

TEST(TerminalCommandPrompt, ParsesNumbersHexAndNames) {
  const std::vector<std::pair<std::string, UINT>> names = {{"about", 120}, {"reboot", 150}};
  EXPECT_EQ(ParseCommand(U"120", {}), 120u);
  EXPECT_EQ(ParseCommand(U" 118 ", {}), 118u);
  EXPECT_EQ(ParseCommand(U"0x78", {}), 120u);
  EXPECT_EQ(ParseCommand(U"0XfFfF", {}), 0xFFFFu);
  EXPECT_EQ(ParseCommand(U"About", names), 120u);
  EXPECT_EQ(ParseCommand(U"REBOOT", names), 150u);
  EXPECT_FALSE(ParseCommand(U"", {}));
  EXPECT_FALSE(ParseCommand(U"about", {}));
  EXPECT_FALSE(ParseCommand(U"12a", {}));
  EXPECT_FALSE(ParseCommand(U"0x", {}));
  EXPECT_FALSE(ParseCommand(U"-1", {}));
  EXPECT_FALSE(ParseCommand(U"65536", {}));  // WM_COMMAND carries 16 bits
  EXPECT_FALSE(ParseCommand(U"99999999999999999999", {}));
}

// Records what the key handling asks of the screen.
class Recorder : public ScreenActions {
 public:
  std::vector<std::string> calls;
  bool result = true;

  bool OpenMenu(int button) override { return Log("open " + std::to_string(button)); }
  void CloseMenu() override { Log("close"); }
  bool ChooseMenuItem(UINT id) override { return Log("choose " + std::to_string(id)); }
  bool AnswerBox(uint64_t id, int answer) override {
    return Log("answer " + std::to_string(id) + " " + std::to_string(answer));
  }
  bool PressDone() override { return Log("done"); }
  bool SendCommand(UINT id) override { return Log("command " + std::to_string(id)); }
  void Key(uint8_t vk, unsigned modifiers) override {
    Log("key " + std::to_string(vk) + "/" + std::to_string(modifiers));
  }

 private:
  bool Log(std::string call) {
    calls.push_back(std::move(call));
    return result;
  }
};

class TerminalKeyHandling : public ::testing::Test {
 protected:
  screen::Snapshot s = MainScreen({u"banner"});
  UiState ui;
  Recorder rec;

  KeyOutcome Press(KeyPress key) {
    SyncUi(s, ui);
    return HandleKey(s, ui, key, rec, {{"about", 120}});
  }
  KeyOutcome Press(int code) { return Press(*DecodeKey(code)); }
  void Type(const char* text) {
    for (const char* p = text; *p; ++p) Press(*p);
  }
  std::vector<std::string> Calls() {
    auto out = rec.calls;
    rec.calls.clear();
    return out;
  }
  void OpenSystemMenu() { s.menuBar->openButton = 0; }
};

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(TerminalKeyHandling, MainScreenKeys) {
  EXPECT_EQ(Press(K(VK_F1)), KeyOutcome::kHandled);
  EXPECT_EQ(Press(K(kVkF10)), KeyOutcome::kHandled);
  EXPECT_THAT(Calls(), ElementsAre("open 0", "open 0"));

  // Ctrl+Q and the log view's keys belong to the program.
  Press(0x11);
  Press(K(VK_NEXT));
  Press(K(VK_PRIOR));
  Press(K(VK_END, kControl));
  Press('x');
  EXPECT_THAT(Calls(), ElementsAre("key 81/2", "key 34/0", "key 33/0", "key 35/2", "key 88/0"));

  Press(K(kVkF2));
  Press(0x0F);  // Ctrl+O
  EXPECT_THAT(Calls(), ElementsAre("done", "done"));

  EXPECT_EQ(Press(0x03), KeyOutcome::kInterrupt);
  EXPECT_EQ(Press(0x0C), KeyOutcome::kRedraw);
  EXPECT_THAT(Calls(), IsEmpty());

  // No menu bar: F1 does nothing.
  s.menuBar.reset();
  EXPECT_EQ(Press(K(VK_F1)), KeyOutcome::kIgnored);
  EXPECT_THAT(Calls(), IsEmpty());
}

TEST_F(TerminalKeyHandling, MenuNavigationSkipsSeparatorsAndDisabledItems) {
  screen::MenuItemView off = Item(u"Relay off", 155);
  off.enabled = false;
  s.menuBar->buttons[0].items.push_back(off);
  s.menuBar->buttons[0].items.push_back(Item(u"E&xtra", 200));
  OpenSystemMenu();
  SyncUi(s, ui);
  EXPECT_EQ(ui.menuPath, std::vector<int>{0});

  Press(K(VK_DOWN));  // over the separator
  EXPECT_EQ(ui.menuPath, std::vector<int>{2});
  Press(K(VK_DOWN));  // over the disabled item
  EXPECT_EQ(ui.menuPath, std::vector<int>{4});
  Press(K(VK_DOWN));  // wraps
  EXPECT_EQ(ui.menuPath, std::vector<int>{0});
  Press(K(VK_UP));
  EXPECT_EQ(ui.menuPath, std::vector<int>{4});
  Press(K(VK_HOME));
  EXPECT_EQ(ui.menuPath, std::vector<int>{0});
  Press(K(VK_END));
  EXPECT_EQ(ui.menuPath, std::vector<int>{4});
  EXPECT_THAT(Calls(), IsEmpty());

  Press(K(VK_UP));
  Press(K(VK_UP));
  Press(K(VK_RETURN));
  EXPECT_THAT(Calls(), ElementsAre("choose 118"));

  // The mnemonic chooses at once; a letter without one does nothing.
  Press('x');
  EXPECT_THAT(Calls(), ElementsAre("choose 200"));
  EXPECT_EQ(Press('q'), KeyOutcome::kIgnored);

  // Keys of the main screen do not leak through an open menu.
  Press(K(VK_NEXT));
  Press(0x11);
  EXPECT_THAT(Calls(), IsEmpty());

  Press(K(VK_ESCAPE));
  Press(K(VK_F1));
  EXPECT_THAT(Calls(), ElementsAre("close", "close"));

  // The done button closes the menu first.
  Press(K(kVkF2));
  EXPECT_THAT(Calls(), ElementsAre("close", "done"));
}

TEST_F(TerminalKeyHandling, MenuFollowsAMenuOpenedElsewhere) {
  OpenSystemMenu();
  SyncUi(s, ui);
  Press(K(VK_DOWN));
  EXPECT_EQ(ui.menuPath, std::vector<int>{2});
  // Closed and opened again (say by the headless user): starts at the top.
  s.menuBar->openButton = -1;
  SyncUi(s, ui);
  EXPECT_TRUE(ui.menuPath.empty());
  OpenSystemMenu();
  SyncUi(s, ui);
  EXPECT_EQ(ui.menuPath, std::vector<int>{0});
  // Items changed under the highlight: it moves to one that can be chosen.
  ui.menuPath = {2};
  s.menuBar->buttons[0].items[2].enabled = false;
  SyncUi(s, ui);
  EXPECT_EQ(ui.menuPath, std::vector<int>{0});
}

TEST_F(TerminalKeyHandling, SubMenusAndOtherButtons) {
  screen::MenuItemView level = Item(u"Log level", 0);
  level.popup = true;
  level.items = {Item(u"Quiet", 112), Item(u"Everything", 115)};
  s.menuBar->buttons[0].items.insert(s.menuBar->buttons[0].items.begin(), level);
  screen::MenuButtonView second;
  second.label = u"Tools";
  second.dropdown = true;
  second.items = {Item(u"About", 120)};
  s.menuBar->buttons.push_back(second);
  OpenSystemMenu();

  Press(K(VK_RIGHT));  // into the sub-popup
  EXPECT_EQ(ui.menuPath, (std::vector<int>{0, 0}));
  Press(K(VK_DOWN));
  Press(K(VK_RETURN));
  EXPECT_THAT(Calls(), ElementsAre("choose 115"));
  Press(K(VK_LEFT));  // back out
  EXPECT_EQ(ui.menuPath, std::vector<int>{0});
  Press(K(VK_RETURN));  // Enter opens it too
  EXPECT_EQ(ui.menuPath, (std::vector<int>{0, 0}));
  Press(K(VK_ESCAPE));  // Esc closes only the sub-popup
  EXPECT_EQ(ui.menuPath, std::vector<int>{0});
  EXPECT_THAT(Calls(), IsEmpty());

  // On a plain item Right goes to the next button, Left to the previous.
  Press(K(VK_DOWN));
  Press(K(VK_RIGHT));
  Press(K(VK_LEFT));
  EXPECT_THAT(Calls(), ElementsAre("open 1", "open 1"));
}

TEST_F(TerminalKeyHandling, MessageBoxTakesEnterEscAndButtonKeys) {
  s.modals.push_back(Box(4, u"COMs should be released first", u"Error", MB_ICONERROR, {IDOK}));
  Press(K(VK_RETURN));
  EXPECT_THAT(Calls(), ElementsAre("answer 4 1"));
  // Esc answers a box that has only OK with OK.
  Press(K(VK_ESCAPE));
  EXPECT_THAT(Calls(), ElementsAre("answer 4 1"));
  // Nothing else reaches the program or the menu while it is up.
  Press(0x11);
  Press(K(VK_F1));
  Press(K(VK_NEXT));
  EXPECT_THAT(Calls(), IsEmpty());

  s.modals.push_back(Box(5, u"Stop?", u"Relay", MB_YESNOCANCEL, {IDYES, 7, IDCANCEL}, IDYES));
  Press(K(VK_ESCAPE));
  EXPECT_THAT(Calls(), ElementsAre("answer 5 2"));
  Press(K(VK_RIGHT));
  EXPECT_EQ(ui.boxButton, 1);
  Press(K(VK_RETURN));
  EXPECT_THAT(Calls(), ElementsAre("answer 5 7"));
  Press(K(VK_TAB, kShift));
  Press(K(VK_TAB, kShift));
  EXPECT_EQ(ui.boxButton, 2);
  Press('y');
  EXPECT_THAT(Calls(), ElementsAre("answer 5 6"));

  // Yes/No without Cancel: Esc has nothing to answer with.
  s.modals.back() = Box(6, u"Sure?", u"", MB_YESNO, {IDYES, 7}, 7);
  EXPECT_EQ(Press(K(VK_ESCAPE)), KeyOutcome::kIgnored);
  Press(K(VK_RETURN));
  EXPECT_THAT(Calls(), ElementsAre("answer 6 7"));

  // An answered box on top hands the keys to the one below.
  s.modals.back().box.answered = true;
  Press(K(VK_RETURN));
  EXPECT_THAT(Calls(), ElementsAre("answer 4 1"));
}

TEST_F(TerminalKeyHandling, DialogGetsTheKeysAsTheProgramsInput) {
  s.modals.push_back(AboutDialog());
  Press(K(VK_RETURN));
  Press(K(VK_ESCAPE));
  EXPECT_THAT(Calls(), ElementsAre("key 13/0", "key 27/0"));
  // The menu bar belongs to the window behind it.
  Press(K(VK_F1));
  EXPECT_THAT(Calls(), ElementsAre("key 112/0"));
}

TEST_F(TerminalKeyHandling, CommandPrompt) {
  Press(':');
  EXPECT_TRUE(ui.prompting);
  Type("120");
  EXPECT_EQ(ui.promptText, U"120");
  EXPECT_THAT(Calls(), IsEmpty());  // typing goes to the prompt only
  Press(K(VK_RETURN));
  EXPECT_FALSE(ui.prompting);
  EXPECT_THAT(Calls(), ElementsAre("command 120"));

  Press(K(kVkF5));
  Type("0x99");
  Press(K(VK_BACK));
  Press(K(VK_BACK));
  Type("78");
  Press(K(VK_RETURN));
  EXPECT_THAT(Calls(), ElementsAre("command 120"));

  Press(':');
  Type("about");
  Press(K(VK_RETURN));
  EXPECT_THAT(Calls(), ElementsAre("command 120"));

  // Bad input: a notice, nothing sent; the next key clears the notice.
  Press(':');
  Type("12x");
  Press(K(VK_RETURN));
  EXPECT_THAT(Calls(), IsEmpty());
  EXPECT_EQ(ui.notice, U"Not a command identifier: 12x");
  Press(K(VK_DOWN));
  EXPECT_TRUE(ui.notice.empty());
  Calls();

  // Esc leaves without sending; an empty line sends nothing.
  Press(':');
  Type("118");
  Press(K(VK_ESCAPE));
  Press(':');
  Press(K(VK_RETURN));
  EXPECT_THAT(Calls(), IsEmpty());
  EXPECT_FALSE(ui.prompting);

  // The prompt also works over a message box (a diagnostic command while
  // the program shows one).
  s.modals.push_back(Box(4, u"x", u"Error", MB_OK, {IDOK}));
  Press(':');
  Type("155");
  Press(K(VK_RETURN));
  EXPECT_THAT(Calls(), ElementsAre("command 155"));

  // Nobody took it.
  rec.result = false;
  Press(':');
  Type("1");
  Press(K(VK_RETURN));
  EXPECT_EQ(ui.notice, U"No window takes command 1");
}

TEST_F(TerminalKeyHandling, RebootingIgnoresAllButCtrlC) {
  ui.rebooting = true;
  EXPECT_EQ(Press(K(VK_F1)), KeyOutcome::kIgnored);
  EXPECT_EQ(Press(0x11), KeyOutcome::kIgnored);
  EXPECT_EQ(Press(':'), KeyOutcome::kIgnored);
  EXPECT_THAT(Calls(), IsEmpty());
  EXPECT_EQ(Press(0x03), KeyOutcome::kInterrupt);
}

// ------------------------------------------------------------ the table

TEST(TerminalKeyTable, NoKeyIsBoundTwiceInOnePlace) {
  // A second binding of a key where the first applies would never act.
  const auto& bindings = KeyBindings();
  for (unsigned context : {kOnMainScreen, kInDialog, kInMenu, kInBox, kInPrompt, kWhileRebooting}) {
    std::vector<std::string> seen;
    for (const KeyBinding& b : bindings) {
      if (!(b.where & context)) continue;
      for (const KeySpec& key : b.keys) {
        std::string name = KeyText(key);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), name), 0) << name << " twice in context " << context;
        seen.push_back(name);
      }
    }
  }
}

TEST(TerminalKeyTable, HelpTextAndHelpLinesFitTheTerminal) {
  // --help: every binding's keys, lines within 80 columns.
  const std::string help = KeyHelpText();
  for (const KeyBinding& b : KeyBindings()) {
    for (const KeySpec& key : b.keys) EXPECT_NE(help.find(KeyText(key)), std::string::npos) << KeyText(key);
  }
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
  // The prompt's line names the commands it takes.
  for (const auto& [name, id] : CommandNames()) EXPECT_NE(help.find(" " + name), std::string::npos) << name;
  // Under the frame: one line in every context, within 80 columns.
  for (KeyContext context : {kOnMainScreen, kInDialog, kInMenu, kInBox, kInPrompt, kWhileRebooting}) {
    std::u32string line = HelpLine(context);
    EXPECT_FALSE(line.empty()) << context;
    EXPECT_LE(line.size(), 80u) << context;
  }
}

// The README's table of keys is the key table's; its table of commands
// gives the names the prompt takes.
TEST(TerminalKeyTable, TheReadmeSaysWhatTheTableSays) {
  std::ifstream file(FWUTIL_README);
  ASSERT_TRUE(file) << FWUTIL_README;
  const std::string readme((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::string begin = "<!-- keys: made from platform/frontends/terminal/KeyTable.cpp -->\n";
  const size_t from = readme.find(begin);
  const size_t to = readme.find("<!-- end of keys -->", from);
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  EXPECT_EQ(readme.substr(from + begin.size(), to - from - begin.size()), KeyTableMarkdown())
      << "README.md's table of keys, as the key table has it:\n"
      << KeyTableMarkdown();

  // Rows of the commands table read "| 118 | `update` | ...".
  std::map<std::string, UINT> documented;
  std::istringstream lines(readme);
  for (std::string line; std::getline(lines, line);) {
    unsigned id = 0;
    char name[32] = {};
    if (std::sscanf(line.c_str(), "| %u | `%31[a-z0-9]` |", &id, name) == 2) documented[name] = id;
  }
  const std::map<std::string, UINT> taken(CommandNames().begin(), CommandNames().end());
  EXPECT_EQ(documented, taken);
}

}  // namespace
}  // namespace terminal
