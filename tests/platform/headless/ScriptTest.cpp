// The headless script language: what each step parses to, and clear errors
// (with their line) on bad input.
#include <gtest/gtest.h>

#include "frontends/headless/Script.h"

namespace {

using headless::ParseScript;
using headless::Step;

TEST(ScriptTest, StepsParseToWhatTheySay) {
  auto script = ParseScript(
      "# an update, start to end\n"
      "\n"
      "timeout 2m\n"
      "command 118\n"
      "key ctrl+q\n"
      "key Shift+F2\n"
      "key 0x15\n"
      "menu 0 0x76\n"
      "  done  \n"
      "answer OK 5s\n"
      "wait \"Bootload1 updated!!\\r\\n\" 500ms\n"
      "wait-exit -1 10s\n"
      "wait-exit\n"
      "save-log out/log.txt\n"
      "save-screen screen.txt\n"
      "wait-window \"About\" 2s\n"
      "dialog ok\n"
      "dialog 0x3 1s\n"
      "dialog \"&Apply\"\n"
      "dialog Retry\n");
  ASSERT_FALSE(script.error) << script.error->message;
  ASSERT_EQ(script.steps.size(), 18u);
  const auto& s = script.steps;
  EXPECT_EQ(s[0].kind, Step::Kind::kTimeout);
  EXPECT_EQ(s[0].timeout, std::chrono::minutes(2));
  EXPECT_EQ(s[1].kind, Step::Kind::kCommand);
  EXPECT_EQ(s[1].id, 118u);
  EXPECT_EQ(s[1].line, 4);
  EXPECT_EQ(s[2].vk, 'Q');
  EXPECT_EQ(s[2].modifiers, static_cast<unsigned>(screen::kControl));
  EXPECT_EQ(s[3].vk, VK_F1 + 1);
  EXPECT_EQ(s[3].modifiers, static_cast<unsigned>(screen::kShift));
  EXPECT_EQ(s[4].vk, 0x15);
  EXPECT_EQ(s[5].kind, Step::Kind::kMenu);
  EXPECT_EQ(s[5].button, 0);
  EXPECT_EQ(s[5].id, 118u);
  EXPECT_EQ(s[6].kind, Step::Kind::kDone);
  EXPECT_EQ(s[7].result, IDOK);
  EXPECT_EQ(s[7].timeout, std::chrono::seconds(5));
  EXPECT_EQ(s[8].text, u"Bootload1 updated!!\r\n");
  EXPECT_EQ(s[8].timeout, std::chrono::milliseconds(500));
  EXPECT_EQ(s[9].exitCode, -1);
  EXPECT_EQ(s[9].timeout, std::chrono::seconds(10));
  EXPECT_FALSE(s[10].exitCode);
  EXPECT_FALSE(s[10].timeout);
  EXPECT_EQ(s[11].path, "out/log.txt");
  EXPECT_EQ(s[12].kind, Step::Kind::kSaveScreen);
  EXPECT_EQ(s[13].kind, Step::Kind::kWaitWindow);
  EXPECT_EQ(s[13].text, u"About");
  EXPECT_EQ(s[13].timeout, std::chrono::seconds(2));
  EXPECT_EQ(s[14].kind, Step::Kind::kDialog);
  EXPECT_EQ(s[14].result, IDOK);
  EXPECT_TRUE(s[14].text.empty());
  EXPECT_EQ(s[15].result, 3);
  EXPECT_EQ(s[15].timeout, std::chrono::seconds(1));
  EXPECT_EQ(s[16].text, u"&Apply");  // a button by its text
  EXPECT_EQ(s[17].result, IDRETRY);  // names are the answer's, case aside
}

struct BadLine {
  const char* line;
  const char* says;  // a part of the message
};

class ScriptErrorTest : public ::testing::TestWithParam<BadLine> {};

TEST_P(ScriptErrorTest, BadInputIsRefusedWithItsLineAndAReason) {
  auto script = ParseScript(std::string("command 1\n") + GetParam().line + "\ncommand 2\n");
  ASSERT_TRUE(script.error);
  EXPECT_EQ(script.error->line, 2);
  EXPECT_NE(script.error->message.find(GetParam().says), std::string::npos) << script.error->message;
  EXPECT_EQ(script.steps.size(), 1u);  // nothing after the error
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ScriptErrorTest,
    ::testing::Values(BadLine{"comand 118", "unknown step 'comand'"}, BadLine{"command", "expected 'command <id>'"},
                      BadLine{"command 70000", "from 0 to 65535"}, BadLine{"command abc", "not 'abc'"},
                      BadLine{"key ctrl+", "unknown key"}, BadLine{"key hyper+q", "unknown modifier 'hyper'"},
                      BadLine{"menu 0", "menu <button> <id>"}, BadLine{"answer maybe", "unknown answer 'maybe'"},
                      BadLine{"answer ok 5", "no duration"}, BadLine{"wait Bootload", "wait \"<text>\""},
                      BadLine{"wait \"open", "not closed"}, BadLine{"wait \"a\\q\"", "unknown escape"},
                      BadLine{"wait \"\"", "empty"}, BadLine{"wait-exit 0 1s 2s", "wait-exit [<code>] [<timeout>]"},
                      BadLine{"wait-exit 1s 2s", "two timeouts"}, BadLine{"timeout 10", "no duration"},
                      BadLine{"timeout 10h", "no duration"}, BadLine{"save-log", "save-log <path>"},
                      BadLine{"done now", "expected 'done'"}, BadLine{"wait-window About", "wait-window \"<caption>\""},
                      BadLine{"wait-window \"\"", "caption to wait for is empty"},
                      BadLine{"wait-window \"About\" soon", "no duration"}, BadLine{"dialog", "expected 'dialog"},
                      BadLine{"dialog 70000", "from 0 to 65535"}, BadLine{"dialog \"\"", "text is empty"},
                      BadLine{"dialog ok 1s 2s", "expected 'dialog"}));

TEST(ScriptTest, DoOptionsAreStepsNumberedByTheCaller) {
  headless::Script script;
  headless::ParseStep("command 118", 1, script);
  headless::ParseStep("answer ok", 2, script);
  headless::ParseStep("wait", 3, script);
  headless::ParseStep("command 1", 4, script);  // after an error: ignored
  ASSERT_TRUE(script.error);
  EXPECT_EQ(script.error->line, 3);
  EXPECT_EQ(script.steps.size(), 2u);
}

}  // namespace
