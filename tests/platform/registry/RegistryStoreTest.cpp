// Unit tests of the stand-in's registry store: listing and removing, the
// one-line specs that preset a device's registry (every value type, refusals
// with a reason), and a dump that reads back as the same registry.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "RegistryTestSupport.h"
#include "registry/Registry.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(regtest::PresetRegistry()); }
  void TearDown() override { regtest::ClearRegistry(); }
};

TEST_F(RegistryTest, TheStoreListsAndRemovesWhatItHolds) {
  ASSERT_TRUE(registry::SetDword("HKLM\\Drivers\\BuiltIn\\Serial2", "Index", 3));
  ASSERT_TRUE(registry::CreateKey("HKLM\\Drivers\\BuiltIn\\IrDA"));
  EXPECT_EQ(registry::ListSubkeys("HKLM\\Drivers\\BuiltIn"), (std::vector<std::string>{"IrDA", "Serial", "Serial2"}));
  auto values = registry::ListValues("HKLM\\Drivers\\BuiltIn\\Serial");
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name, "Blob");
  EXPECT_EQ(values[1].name, "Index");
  EXPECT_EQ(values[2].name, "Prefix");

  // Setting a value again replaces it; its name keeps the first spelling.
  ASSERT_TRUE(registry::SetDword("hklm\\DRIVERS\\builtin\\serial", "INDEX", 7));
  auto index = registry::GetValue("HKLM\\Drivers\\BuiltIn\\Serial", "index");
  ASSERT_TRUE(index.has_value());
  EXPECT_EQ(index->data, (std::vector<uint8_t>{7, 0, 0, 0}));
  EXPECT_EQ(index->name, "INDEX");

  EXPECT_TRUE(registry::RemoveValue("HKLM\\Drivers\\BuiltIn\\Serial", "Index"));
  EXPECT_FALSE(registry::RemoveValue("HKLM\\Drivers\\BuiltIn\\Serial", "Index"));
  EXPECT_FALSE(registry::GetValue("HKLM\\Drivers\\BuiltIn\\Serial", "Index").has_value());
  EXPECT_FALSE(registry::RemoveKey("HKLM")) << "roots stay";
  EXPECT_FALSE(registry::RemoveKey("HKLM\\Nothing"));

  std::string why;
  EXPECT_FALSE(registry::SetDword("Drivers\\BuiltIn", "Index", 1, &why));
  EXPECT_NE(why.find("must start with HKLM"), std::string::npos) << why;
  EXPECT_FALSE(registry::CreateKey("HKLM\\A\\\\B", &why));
  EXPECT_NE(why.find("empty key name"), std::string::npos) << why;
}

TEST_F(RegistryTest, SpecsSetEveryTypeAndReadBackThroughTheApi) {
  registry::Clear();
  std::string why;
  ASSERT_TRUE(registry::ApplySpec("HKLM\\Drivers\\BuiltIn\\Serial\\Index=dword:1", &why)) << why;
  ASSERT_TRUE(registry::ApplySpec("HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial2\\Index=dword:0x0000000A", &why))
      << why;
  ASSERT_TRUE(registry::ApplySpec("HKLM\\Drivers\\BuiltIn\\Serial\\FriendlyName=sz:Radio UART: a=b", &why)) << why;
  ASSERT_TRUE(registry::ApplySpec("HKLM\\Drivers\\BuiltIn\\Serial\\Dll=expand_sz:%WINDIR%\\serial.dll", &why)) << why;
  ASSERT_TRUE(registry::ApplySpec("HKLM\\Drivers\\BuiltIn\\Serial\\Raw=hex:01, 02,ff", &why)) << why;
  ASSERT_TRUE(registry::ApplySpec("HKLM\\Drivers\\BuiltIn\\Serial\\Empty=hex:", &why)) << why;
  ASSERT_TRUE(registry::ApplySpec("HKLM\\Drivers\\BuiltIn\\Serial\\Multi=hex(7):41,00,00,00,00,00", &why)) << why;
  ASSERT_TRUE(registry::ApplySpec("HKLM\\Drivers\\BuiltIn\\Serial\\@=sz:default", &why)) << why;

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\Serial2", 0, 0, &key), ERROR_SUCCESS);
  DWORD index = 0, size = 4;
  ASSERT_EQ(RegQueryValueExW(key, u"Index", nullptr, nullptr, reinterpret_cast<BYTE*>(&index), &size), ERROR_SUCCESS);
  EXPECT_EQ(index, 10u);
  RegCloseKey(key);

  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\Serial", 0, 0, &key), ERROR_SUCCESS);
  WCHAR text[64] = {};
  DWORD type = 0;
  size = sizeof text;
  ASSERT_EQ(RegQueryValueExW(key, u"FriendlyName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text), u"Radio UART: a=b");
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  size = sizeof text;
  ASSERT_EQ(RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text), u"default");
  RegCloseKey(key);

  EXPECT_EQ(registry::GetValue("HKLM\\Drivers\\BuiltIn\\Serial", "Raw")->data, (std::vector<uint8_t>{1, 2, 0xFF}));
  EXPECT_TRUE(registry::GetValue("HKLM\\Drivers\\BuiltIn\\Serial", "Empty")->data.empty());
  EXPECT_EQ(registry::GetValue("HKLM\\Drivers\\BuiltIn\\Serial", "Multi")->type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(registry::GetValue("HKLM\\Drivers\\BuiltIn\\Serial", "Dll")->type, static_cast<DWORD>(REG_EXPAND_SZ));

  // Removing a value, then a key with all below it.
  ASSERT_TRUE(registry::ApplySpec("HKLM\\Drivers\\BuiltIn\\Serial\\Raw=-", &why)) << why;
  EXPECT_FALSE(registry::GetValue("HKLM\\Drivers\\BuiltIn\\Serial", "Raw").has_value());
  ASSERT_TRUE(registry::ApplySpec("-HKLM\\Drivers\\BuiltIn", &why)) << why;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\Serial", 0, 0, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, BadSpecsAreRefusedWithAReasonAndChangeNothing) {
  auto before = registry::Dump();
  struct Case {
    const char* spec;
    const char* reason;
  } cases[] = {
      {"HKLM\\Drivers\\BuiltIn\\Serial\\Index", "expected KEY\\NAME=TYPE:DATA"},
      {"Index=dword:1", "expected KEY\\NAME before '='"},
      {"Drivers\\BuiltIn\\Serial\\Index=dword:1", "must start with HKLM"},
      {"HKXX\\Serial\\Index=dword:1", "must start with HKLM"},
      {"HKLM\\Drivers\\\\Serial\\Index=dword:1", "empty key name"},
      {"HKLM\\Drivers\\BuiltIn\\Serial\\=dword:1", "no value name"},
      {"HKLM\\Drivers\\BuiltIn\\Serial\\Index=1", "needs a type"},
      {"HKLM\\Drivers\\BuiltIn\\Serial\\Index=word:1", "unknown value type"},
      {"HKLM\\Drivers\\BuiltIn\\Serial\\Index=dword:", "not a 32-bit unsigned number"},
      {"HKLM\\Drivers\\BuiltIn\\Serial\\Index=dword:-1", "not a 32-bit unsigned number"},
      {"HKLM\\Drivers\\BuiltIn\\Serial\\Index=dword:4294967296", "not a 32-bit unsigned number"},
      {"HKLM\\Drivers\\BuiltIn\\Serial\\Index=dword:12abc", "not a 32-bit unsigned number"},
      {"HKLM\\Drivers\\BuiltIn\\Serial\\Raw=hex:01,2g", "not a hexadecimal byte"},
      {"HKLM\\Drivers\\BuiltIn\\Serial\\Raw=hex:100", "not a hexadecimal byte"},
      {"HKLM\\Drivers\\BuiltIn\\Serial\\Raw=hex:01,,02", "not a hexadecimal byte"},
      {"HKLM\\Drivers\\BuiltIn\\Serial\\Raw=hex(zz):01", "hexadecimal type number"},
      {"HKLM\\Drivers\\BuiltIn\\Serial\\Missing=-", "no value \"Missing\""},
      {"-HKLM\\Drivers\\Nothing", "no key HKLM\\Drivers\\Nothing"},
      {"-HKLM", "a root key cannot be removed"},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_FALSE(registry::ApplySpec(c.spec, &why)) << c.spec;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.spec << " -> " << why;
  }
  EXPECT_EQ(registry::Dump(), before);
}

TEST_F(RegistryTest, ADumpReadsBackAsTheSameRegistry) {
  ASSERT_TRUE(registry::SetDword("HKCU\\Settings", "Level", 3));
  ASSERT_TRUE(registry::SetString("HKLM\\Drivers\\BuiltIn\\Serial", "", "default"));
  ASSERT_TRUE(registry::SetValue("HKLM\\Odd", "TwoNulls", REG_SZ, {'a', 0, 0, 0, 0, 0}));
  ASSERT_TRUE(registry::SetValue("HKLM\\Odd", "Empty", REG_EXPAND_SZ, {}));
  auto dump = registry::Dump();
  EXPECT_EQ(dump.size(), 7u);
  EXPECT_NE(std::find(dump.begin(), dump.end(), "HKLM\\Odd\\Empty=hex(2):"), dump.end());
  EXPECT_NE(std::find(dump.begin(), dump.end(), "HKLM\\Drivers\\BuiltIn\\Serial\\Index=dword:0x00000001"), dump.end());
  EXPECT_NE(std::find(dump.begin(), dump.end(), "HKLM\\Drivers\\BuiltIn\\Serial\\Prefix=sz:COM"), dump.end());
  EXPECT_NE(std::find(dump.begin(), dump.end(), "HKLM\\Drivers\\BuiltIn\\Serial\\@=sz:default"), dump.end());
  registry::Clear();
  EXPECT_TRUE(registry::Dump().empty());
  for (const auto& line : dump) {
    std::string why;
    EXPECT_TRUE(registry::ApplySpec(line, &why)) << line << ": " << why;
  }
  EXPECT_EQ(registry::Dump(), dump);
  EXPECT_EQ(registry::GetValue("HKLM\\Odd", "TwoNulls")->data, (std::vector<uint8_t>{'a', 0, 0, 0, 0, 0}));
}

// Key names that are not UTF-8 (a --reg line with stray bytes): the dump
// lists the keys in the same order when it is read back (found by fuzzing:
// a name beyond U+10FFFF was kept as a broken surrogate pair that sorted
// apart from its U+FFFD reading).
TEST_F(RegistryTest, KeyNamesThatAreNotUtf8DumpTheSameAfterReadingBack) {
  registry::Clear();
  std::string why;
  ASSERT_TRUE(registry::ApplySpec("HKLM\\S\xf7\x9e\x92\x9a=sz:", &why)) << why;
  ASSERT_TRUE(registry::ApplySpec("HKLM\\S\xff=sz:", &why)) << why;
  ASSERT_TRUE(registry::ApplySpec("HKLM\\S\xed\xa0\x80\xc0\xaf=sz:", &why)) << why;
  auto dump = registry::Dump();
  registry::Clear();
  for (const auto& line : dump) EXPECT_TRUE(registry::ApplySpec(line, &why)) << line << ": " << why;
  EXPECT_EQ(registry::Dump(), dump);
}

}  // namespace
