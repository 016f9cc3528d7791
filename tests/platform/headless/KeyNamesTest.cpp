// The scripted user's key names against the terminal's key table: a key
// the terminal's help and the README name, a script presses by that name.
#include <gtest/gtest.h>

#include <vector>

#include "frontends/headless/Script.h"
#include "frontends/terminal/KeyTable.h"

namespace {

using terminal::KeySpec;

TEST(ScriptKeyNames, EveryKeyTheTerminalNamesIsAScriptKey) {
  std::vector<KeySpec> keys;
  for (const auto& [vk, name] : terminal::KeyNames()) keys.push_back(KeySpec{vk, 0, 0});
  for (const terminal::KeyBinding& b : terminal::KeyBindings()) {
    for (const KeySpec& key : b.keys) {
      if (key.vk) keys.push_back(key);  // typed characters have no key name
    }
  }
  // Every modifier, as the terminal writes it.
  keys.push_back(KeySpec{VK_DELETE, screen::kControl | screen::kAlt | screen::kShift, 0});

  for (const KeySpec& key : keys) {
    const std::string name = terminal::KeyText(key);
    headless::Script script = headless::ParseScript("key " + name);
    ASSERT_FALSE(script.error) << name << ": " << script.error->message;
    ASSERT_EQ(script.steps.size(), 1u);
    EXPECT_EQ(script.steps[0].vk, key.vk) << name;
    EXPECT_EQ(script.steps[0].modifiers, key.modifiers) << name;
  }
}

}  // namespace
