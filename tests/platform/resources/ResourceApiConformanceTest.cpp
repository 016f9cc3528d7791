// Conformance of the resource functions: lookups by id and by name, named
// types, case, languages, failures and their last-error codes, strings,
// accelerators and icons. Run against the program's real embedded image,
// and against small handcrafted images where a case needs one. SDK calls
// only (and the program's resource identifiers); the modules come from
// ResourceTestSupport. What the stand-in reads back from the handles
// (accelerator entries, icon bits): ResourceHandlesTest.cpp.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ResourceTestSupport.h"
#include "shell/resources/resource.h"

namespace {

using restest::Name;
using restest::Ord;

class ResourceApiTest : public ::testing::Test {
 protected:
  void SetUp() override { instance_ = restest::RegisterProgramResources(); }
  void TearDown() override { restest::RegisterProgramResources(); }
  HINSTANCE instance_ = nullptr;
};

TEST_F(ResourceApiTest, FindsImagesByIntegerIdUnderTheNamedTypeInAnyCase) {
  for (LPCWSTR type : {TEXT("HEX"), TEXT("hex"), TEXT("Hex")}) {
    HRSRC found = FindResourceW(instance_, MAKEINTRESOURCE(IDR_FILE_SIZE), type);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(SizeofResource(instance_, found), 3u);
    HGLOBAL loaded = LoadResource(instance_, found);
    ASSERT_NE(loaded, nullptr);
    // The loaded handle is the address of the bytes; locking changes nothing.
    EXPECT_EQ(LockResource(loaded), loaded);
    const BYTE* bytes = static_cast<const BYTE*>(loaded);
    EXPECT_EQ(bytes[0], 0x3F);
    EXPECT_EQ(bytes[1], 0xEC);
    EXPECT_EQ(bytes[2], 0xE6);
  }
}

TEST_F(ResourceApiTest, NullModuleAndTheProgramsHandleAreTheSameModule) {
  HRSRC a = FindResourceW(nullptr, MAKEINTRESOURCE(IDR_BOOT1), TEXT("HEX"));
  HRSRC b = FindResourceW(instance_, MAKEINTRESOURCE(IDR_BOOT1), TEXT("HEX"));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(LoadResource(nullptr, a), LoadResource(instance_, b));
}

TEST_F(ResourceApiTest, FindsNamesWithoutRegardToCase) {
  HRSRC upper = FindResourceW(instance_, TEXT("ABOUTBOX"), RT_DIALOG);
  ASSERT_NE(upper, nullptr);
  EXPECT_EQ(FindResourceW(instance_, TEXT("aboutbox"), RT_DIALOG), upper);
  EXPECT_EQ(FindResourceW(instance_, TEXT("AboutBox"), RT_DIALOG), upper);
  EXPECT_NE(FindResourceW(instance_, TEXT("id_accel"), RT_ACCELERATOR), nullptr);
}

TEST_F(ResourceApiTest, NumberSignNamesAnIntegerId) {
  HRSRC byText = FindResourceW(instance_, TEXT("#110"), TEXT("HEX"));
  ASSERT_NE(byText, nullptr);
  EXPECT_EQ(byText, FindResourceW(instance_, MAKEINTRESOURCE(IDR_FW), TEXT("HEX")));
  EXPECT_EQ(FindResourceW(instance_, TEXT("#4"), TEXT("#5")), nullptr);  // no dialog 4
  EXPECT_EQ(FindResourceW(instance_, TEXT("#105"), TEXT("#4")),
            FindResourceW(instance_, MAKEINTRESOURCE(105), RT_MENU));
}

TEST_F(ResourceApiTest, FailuresSetTheirLastErrorCodes) {
  SetLastError(0);
  EXPECT_EQ(FindResourceW(instance_, MAKEINTRESOURCE(IDR_BOOT1), TEXT("NOSUCHTYPE")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_EQ(FindResourceW(instance_, MAKEINTRESOURCE(IDR_BOOT1), RT_BITMAP), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));

  SetLastError(0);
  EXPECT_EQ(FindResourceW(instance_, MAKEINTRESOURCE(111), TEXT("HEX")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  // An existing name under another existing type is not found either.
  EXPECT_EQ(FindResourceW(instance_, TEXT("ABOUTBOX"), RT_MENU), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(FindResourceW(instance_, TEXT("ABOUTBOXX"), RT_DIALOG), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));

  SetLastError(0);
  EXPECT_EQ(FindResourceW(instance_, nullptr, TEXT("HEX")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// The stand-in's COREDLL.DLL holds no resources (CE's has strings and
// dialogs of its own), so the error is Win32's for an image without a
// resource section rather than ERROR_RESOURCE_TYPE_NOT_FOUND.
TEST_F(ResourceApiTest, ALibraryHasNoResources) {
  HINSTANCE core = LoadLibraryW(TEXT("coredll.dll"));
  ASSERT_NE(core, nullptr);
  SetLastError(0);
  EXPECT_EQ(FindResourceW(core, MAKEINTRESOURCE(IDR_BOOT1), TEXT("HEX")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  // Nor does a resource handle of the program belong to it.
  HRSRC found = FindResourceW(instance_, MAKEINTRESOURCE(IDR_BOOT1), TEXT("HEX"));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(LoadResource(core, found), nullptr);
  EXPECT_EQ(SizeofResource(core, found), 0u);
  FreeLibrary(core);
}

TEST_F(ResourceApiTest, LoadAndSizeRejectHandlesThatAreNoResource) {
  HRSRC found = FindResourceW(instance_, MAKEINTRESOURCE(IDR_BOOT2), TEXT("HEX"));
  ASSERT_NE(found, nullptr);
  HRSRC inside = reinterpret_cast<HRSRC>(reinterpret_cast<uintptr_t>(found) + 4);
  SetLastError(0);
  EXPECT_EQ(LoadResource(instance_, inside), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(SizeofResource(instance_, inside), 0u);
  EXPECT_EQ(LoadResource(instance_, nullptr), nullptr);
  EXPECT_EQ(LockResource(nullptr), nullptr);
}

TEST_F(ResourceApiTest, LoadStringCopiesTerminatesAndTruncates) {
  WCHAR buffer[32];
  EXPECT_EQ(LoadStringW(instance_, IDS_SYSTEM, buffer, 32), 6);
  EXPECT_EQ(std::u16string(buffer), u"System");

  // Truncated to the buffer, always terminated.
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(LoadStringW(instance_, IDS_SYSTEM, buffer, 4), 3);
  EXPECT_EQ(std::u16string(buffer), u"Sys");
  EXPECT_EQ(LoadStringW(instance_, IDS_SYSTEM, buffer, 7), 6);
  EXPECT_EQ(std::u16string(buffer), u"System");
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(LoadStringW(instance_, IDS_SYSTEM, buffer, 1), 0);
  EXPECT_EQ(buffer[0], u'\0');
  EXPECT_EQ(buffer[1], u'#');

  // Only the low word of the id counts.
  EXPECT_EQ(LoadStringW(instance_, 0x10000u + IDS_SYSTEM, buffer, 32), 6);
}

TEST_F(ResourceApiTest, LoadStringWithNoBufferSizeGivesAReadOnlyPointer) {
  const WCHAR* text = nullptr;
  EXPECT_EQ(LoadStringW(instance_, IDS_SYSTEM, reinterpret_cast<LPWSTR>(&text), 0), 6);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::u16string(text, 6), u"System");
  // The pointer is into the string block itself: the length word before it,
  // and after it the next slot's length word (an empty slot here), not a
  // terminator the caller could rely on.
  EXPECT_EQ(text[-1], 6);
  EXPECT_EQ(text[6], 0);
}

TEST_F(ResourceApiTest, LoadStringOfAnEmptySlotOrAMissingBlockGivesNothing) {
  WCHAR buffer[8] = {u'#', u'#'};
  // The block of 40000 to 40015 exists; only 40003 holds a string.
  for (UINT id : {40000u, 40002u, 40004u, 40015u}) {
    buffer[0] = u'#';
    SetLastError(0);
    EXPECT_EQ(LoadStringW(instance_, id, buffer, 8), 0) << id;
    EXPECT_EQ(buffer[0], u'\0') << id;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND)) << id;
  }
  // No block at all: the buffer is left alone.
  buffer[0] = u'#';
  SetLastError(0);
  EXPECT_EQ(LoadStringW(instance_, 39999, buffer, 8), 0);
  EXPECT_EQ(buffer[0], u'#');
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));

  SetLastError(0);
  EXPECT_EQ(LoadStringW(instance_, IDS_SYSTEM, nullptr, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ResourceApiTest, AcceleratorTableLoadsByNameAndGivesItsEntries) {
  HACCEL table = LoadAcceleratorsW(instance_, TEXT("ID_ACCEL"));
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(LoadAcceleratorsW(instance_, TEXT("id_accel")), table);
  // Its one entry, Ctrl+Q for Exit: ResourceHandlesTest.cpp reads it back;
  // the behaviour of such a table: MessageConformanceTest.cpp (AcceleratorTurnsCtrlQ...).

  SetLastError(0);
  EXPECT_EQ(LoadAcceleratorsW(instance_, TEXT("NO_ACCEL")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
}

TEST_F(ResourceApiTest, IconLoadsTheLargeImageWithTheMostColours) {
  HICON icon = LoadIconW(instance_, TEXT("id_icon"));
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(LoadIconW(instance_, TEXT("ID_ICON")), icon);  // one icon, whatever the spelling
  SetLastError(0);
  EXPECT_EQ(LoadIconW(nullptr, TEXT("ID_ICON")), nullptr);
  EXPECT_EQ(LoadIconW(instance_, TEXT("NO_ICON")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
}

// ---- handcrafted images ---------------------------------------------------

// Win32 and CE first try the thread's and the user's languages; the stand-in
// has no language settings, so its order is: neutral, US English, the lowest.
TEST_F(ResourceApiTest, WithoutALanguageNeutralThenUsEnglishThenTheLowestIsChosen) {
  std::vector<uint8_t> data1028 = {1}, data1033 = {2}, data0 = {3}, data1031 = {4};
  restest::ResBuilder all;
  all.Add(Ord(10), Ord(7), 0x0404, data1028).Add(Ord(10), Ord(7), 0x0409, data1033).Add(Ord(10), Ord(7), 0, data0);
  restest::ResBuilder noNeutral;
  noNeutral.Add(Ord(10), Ord(7), 0x0404, data1028)
      .Add(Ord(10), Ord(7), 0x0407, data1031)
      .Add(Ord(10), Ord(7), 0x0409, data1033);
  restest::ResBuilder others;
  others.Add(Ord(10), Ord(7), 0x0407, data1031).Add(Ord(10), Ord(7), 0x0404, data1028);

  struct Case {
    const restest::ResBuilder* image;
    BYTE expected;
  } cases[] = {{&all, 3}, {&noNeutral, 2}, {&others, 1}};
  for (const Case& c : cases) {
    HINSTANCE module = restest::RegisterImage(c.image->Bytes());
    HRSRC found = FindResourceW(module, MAKEINTRESOURCE(7), RT_RCDATA);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*static_cast<const BYTE*>(LoadResource(module, found)), c.expected);
  }
}

TEST_F(ResourceApiTest, NamedTypesAndNamesOfAHandcraftedImage) {
  restest::ResBuilder image;
  image.Add(Name(u"FONTDATA"), Name(u"MAIN"), 0, {9, 8, 7}).Add(Name(u"FONTDATA"), Ord(2), 0, {6});
  HINSTANCE module = restest::RegisterImage(image.Bytes());
  HRSRC found = FindResourceW(module, TEXT("main"), TEXT("FontData"));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(SizeofResource(module, found), 3u);
  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCE(2), TEXT("fontdata")), nullptr);
  // A string name never matches an ordinal, nor the other way round.
  EXPECT_EQ(FindResourceW(module, TEXT("2"), TEXT("fontdata")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
}

TEST_F(ResourceApiTest, MalformedProgramImageFindsNothingAndDoesNotCrash) {
  std::vector<uint8_t> bytes = restest::ResBuilder().Add(Ord(10), Ord(1), 0, {1, 2, 3, 4}).Bytes();
  bytes[32] = 0xFF;  // the second entry's DataSize now runs past the end
  bytes[33] = 0xFF;
  HINSTANCE module = restest::RegisterImage(bytes);
  SetLastError(0);
  EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCE(1), RT_RCDATA), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  WCHAR buffer[4];
  EXPECT_EQ(LoadStringW(module, 1, buffer, 4), 0);
  EXPECT_EQ(LoadAcceleratorsW(module, TEXT("ID_ACCEL")), nullptr);
}

TEST_F(ResourceApiTest, CorruptStringBlockAndAcceleratorTableAreRefused) {
  std::vector<uint8_t> block;
  restest::Put16(block, 0);
  restest::Put16(block, 50);                                     // string 1 claims 50 units, the block ends here
  std::vector<uint8_t> accel = {0x0B, 0, 'Q', 0, 101, 0, 0, 0};  // no end flag
  restest::ResBuilder image;
  image.Add(Ord(6), Ord(1), 0, block).Add(Ord(9), Name(u"ACC"), 0, accel);
  HINSTANCE module = restest::RegisterImage(image.Bytes());
  WCHAR buffer[8] = {u'#'};
  SetLastError(0);
  EXPECT_EQ(LoadStringW(module, 1, buffer, 8), 0);
  EXPECT_EQ(buffer[0], u'#');
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  SetLastError(0);
  EXPECT_EQ(LoadAcceleratorsW(module, TEXT("acc")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
}

// Strings and data are handed out in place. An image off a DWORD boundary
// would hand out pointers misaligned for their types, which fault where
// loads must be aligned; it is refused like a malformed one.
TEST_F(ResourceApiTest, AnImageOffADwordBoundaryIsRefusedRatherThanReadMisaligned) {
  std::vector<uint8_t> block;
  restest::Put16(block, 0);
  restest::Put16(block, 2);  // string 1: "OK"
  restest::Put16(block, u'O');
  restest::Put16(block, u'K');
  restest::ResBuilder image;
  image.Add(Ord(6), Ord(1), 0, block);
  const WCHAR* text = nullptr;
  HINSTANCE module = restest::RegisterImage(image.Bytes());
  ASSERT_EQ(LoadStringW(module, 1, reinterpret_cast<LPWSTR>(&text), 0), 2);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(text) % alignof(WCHAR), 0u);

  static std::vector<uint8_t> storage;
  storage.assign(image.Bytes().size() + 1, 0);
  std::memcpy(storage.data() + 1, image.Bytes().data(), image.Bytes().size());
  module = restest::RegisterImage(std::span<const uint8_t>(storage).subspan(1));
  text = nullptr;
  SetLastError(0);
  EXPECT_EQ(LoadStringW(module, 1, reinterpret_cast<LPWSTR>(&text), 0), 0);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCE(1), RT_STRING), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
}

}  // namespace
