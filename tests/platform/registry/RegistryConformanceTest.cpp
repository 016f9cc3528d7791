// Conformance of the registry functions the system uses: key names without
// regard to case, Win32's size rules for RegQueryValueExW, handles. SDK calls
// only; the preset registry comes from RegistryTestSupport.
//
// Every open passes 0 as samDesired, as the system does: CE reserves the
// parameter ("set to 0") and the stand-in ignores it as CE does. Desktop Win32
// opens a key with no rights and then refuses every query with
// ERROR_ACCESS_DENIED; the desktop build's shim turns a 0 into KEY_READ
// (platform/README.md, Differences).
#include <windows.h>

#include <gtest/gtest.h>

#include "RegistryTestSupport.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(regtest::PresetRegistry()); }
  void TearDown() override { regtest::ClearRegistry(); }
};

TEST_F(RegistryTest, KeysOpenByPathWithoutRegardToCase) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"drivers\\BUILTIN\\serial", 0, 0, &key), ERROR_SUCCESS);
  ASSERT_NE(key, nullptr);
  DWORD index = 0, size = sizeof index, type = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"INDEX", nullptr, &type, reinterpret_cast<BYTE*>(&index), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(index, 1u);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  // A step at a time, from an open key; an empty path opens the key itself.
  HKEY drivers = nullptr, serial = nullptr, same = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers", 0, 0, &drivers), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(drivers, u"BuiltIn\\Serial", 0, 0, &serial), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(serial, u"", 0, 0, &same), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(same, u"Index", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  for (HKEY k : {drivers, serial, same}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(RegistryTest, MissingKeysAndValuesAreNotFound) {
  HKEY key = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\Serial2", 0, 0, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\\\BuiltIn", 0, 0, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Drivers", 0, 0, &key), ERROR_FILE_NOT_FOUND) << "roots are apart";
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers", 0, 0, nullptr), ERROR_INVALID_PARAMETER);

  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\Serial", 0, 0, &key), ERROR_SUCCESS);
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(key, u"Indexx", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND)
      << "no default value was set";
  RegCloseKey(key);
}

TEST_F(RegistryTest, QuerySizesFollowWin32) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\Serial", 0, 0, &key), ERROR_SUCCESS);

  // A null buffer asks for the size; a text's size counts its terminator.
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 8u);

  // Too small: ERROR_MORE_DATA with the size needed. Win32 leaves the
  // buffer's contents undefined then; the stand-in leaves it untouched.
  BYTE small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  size = sizeof small;
  type = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(small[0], 0xEE);

  // Exactly big enough, and bigger: the value and its real size.
  WCHAR text[8] = {};
  size = 8;
  ASSERT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text), u"COM");
  BYTE blob[64] = {};
  size = sizeof blob;
  ASSERT_EQ(RegQueryValueExW(key, u"Blob", nullptr, &type, blob, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(blob[4], 5);

  // A DWORD read into a 4-byte number without looking at the type, as the
  // relay does.
  DWORD number = 0;
  size = 4;
  ASSERT_EQ(RegQueryValueExW(key, u"Index", nullptr, nullptr, reinterpret_cast<BYTE*>(&number), &size), ERROR_SUCCESS);
  EXPECT_EQ(number, 1u);

  // A buffer without a size is a caller's mistake; so is the reserved word.
  EXPECT_EQ(RegQueryValueExW(key, u"Index", nullptr, nullptr, blob, nullptr), ERROR_INVALID_PARAMETER);
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Index", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(RegistryTest, HandlesAreCheckedAndDeletedKeysSaySo) {
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x12340));
  EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(bogus, u"Index", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(bogus, u"X", 0, 0, &key), ERROR_INVALID_HANDLE);

  size_t handles = regtest::OpenHandleCount();
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\Serial", 0, 0, &key), ERROR_SUCCESS);
  EXPECT_EQ(regtest::OpenHandleCount(), handles + 1);
  ASSERT_TRUE(regtest::DeleteKey("HKLM\\Drivers\\BuiltIn"));  // by another program
  EXPECT_EQ(RegQueryValueExW(key, u"Index", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(regtest::OpenHandleCount(), handles);
  HKEY gone = nullptr, kept = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\Serial", 0, 0, &gone), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers", 0, 0, &kept), ERROR_SUCCESS);
  RegCloseKey(kept);
}

}  // namespace
