// Unit tests of what the stand-in reads back from resource handles for its
// windowing and front ends: the entries of an accelerator table, the bits of
// an icon, the bytes that remain of a loaded resource; other handles refused.
#include <windows.h>

#include <gtest/gtest.h>

#include "ResourceTestSupport.h"
#include "resources/Resources.h"
#include "shell/resources/resource.h"

namespace {

class ResourceApiTest : public ::testing::Test {
 protected:
  void SetUp() override { instance_ = restest::RegisterProgramResources(); }
  HINSTANCE instance_ = nullptr;
};

TEST_F(ResourceApiTest, TheAcceleratorTablesEntryIsCtrlQForExit) {
  HACCEL table = LoadAcceleratorsW(instance_, TEXT("ID_ACCEL"));
  ASSERT_NE(table, nullptr);
  auto entries = resources::AcceleratorEntries(table);
  ASSERT_TRUE(entries.has_value());
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].fVirt, FVIRTKEY | FNOINVERT | FCONTROL);
  EXPECT_EQ((*entries)[0].key, 'Q');
  EXPECT_EQ((*entries)[0].cmd, IDM_EXIT);
}

TEST_F(ResourceApiTest, AcceleratorEntriesRejectOtherHandles) {
  EXPECT_FALSE(resources::AcceleratorEntries(nullptr).has_value());
  int local = 0;
  EXPECT_FALSE(resources::AcceleratorEntries(reinterpret_cast<HACCEL>(&local)).has_value());
  // The data of a resource of another type is no accelerator table.
  HGLOBAL image = LoadResource(instance_, FindResourceW(instance_, MAKEINTRESOURCE(IDR_BOOT1), TEXT("HEX")));
  ASSERT_NE(image, nullptr);
  EXPECT_FALSE(resources::AcceleratorEntries(reinterpret_cast<HACCEL>(image)).has_value());
}

TEST_F(ResourceApiTest, TheIconIsTheLargeImageWithTheMostColours) {
  HICON icon = LoadIconW(instance_, TEXT("id_icon"));
  ASSERT_NE(icon, nullptr);
  auto bits = resources::IconFromHandle(icon);
  ASSERT_TRUE(bits.has_value());
  EXPECT_EQ(bits->width, 32);
  EXPECT_EQ(bits->height, 32);
  EXPECT_EQ(bits->bitCount, 4);
  EXPECT_FALSE(resources::IconFromHandle(reinterpret_cast<HICON>(&bits)).has_value());
}

TEST_F(ResourceApiTest, LoadStringsPointerIsIntoTheStringBlock) {
  const WCHAR* text = nullptr;
  ASSERT_EQ(LoadStringW(instance_, IDS_SYSTEM, reinterpret_cast<LPWSTR>(&text), 0), 6);
  auto rest = resources::ResourceBytesFrom(text);
  ASSERT_TRUE(rest.has_value());
  EXPECT_EQ(rest->size(), 12u /* "System" */ + 12 * 2 /* 12 empty slots after it */);
}

TEST_F(ResourceApiTest, RemainingBytesOfALoadedResource) {
  HRSRC found = FindResourceW(instance_, TEXT("aboutbox"), RT_DIALOG);
  ASSERT_NE(found, nullptr);
  const BYTE* data = static_cast<const BYTE*>(LoadResource(instance_, found));
  DWORD size = SizeofResource(instance_, found);
  auto whole = resources::ResourceBytesFrom(data);
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->data(), data);
  EXPECT_EQ(whole->size(), size);
  auto tail = resources::ResourceBytesFrom(data + 10);
  ASSERT_TRUE(tail.has_value());
  EXPECT_EQ(tail->size(), size - 10);
  EXPECT_FALSE(resources::ResourceBytesFrom(data + size).has_value());      // its padding
  EXPECT_FALSE(resources::ResourceBytesFrom(data + size + 4).has_value());  // the next header
  EXPECT_FALSE(resources::ResourceBytesFrom(nullptr).has_value());
  int local = 0;
  EXPECT_FALSE(resources::ResourceBytesFrom(&local).has_value());
}

}  // namespace
