// The resources embedded in the program carry exactly the bytes the
// utility relies on: menu, menu-bar data, strings, accelerator, dialog,
// icons, the four module images, and the languages they are stored under.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>

#include "ResourceTestSupport.h"
#include "kernel/Modules.h"
#include "resources/ProgramImage.h"
#include "resources/ResFile.h"
#include "resources/Templates.h"
#include "shell/resources/resource.h"
#include "update/UpdateImages.h"

namespace {

using resources::ResourceEntry;
using resources::ResourceId;

constexpr uint16_t kChineseTraditional = 1028;
constexpr uint16_t kUsEnglish = 1033;

class EmbeddedResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel::RegisterProgramModule(u"fwutil.exe", resources::ProgramImage());
    resources::ResParseError error;
    auto parsed = resources::ParseResFile(resources::ProgramImage(), &error);
    ASSERT_TRUE(parsed.has_value()) << error.message << " at " << error.offset;
    entries_ = std::move(*parsed);
  }

  // The one entry of `type` and `name`; fails the test if there are more.
  const ResourceEntry& Entry(const ResourceId& type, const ResourceId& name) {
    const ResourceEntry* found = nullptr;
    for (const ResourceEntry& entry : entries_) {
      if (entry.type.Matches(type) && entry.name.Matches(name)) {
        EXPECT_EQ(found, nullptr) << "more than one entry";
        found = &entry;
      }
    }
    static const ResourceEntry none;
    EXPECT_NE(found, nullptr);
    return found != nullptr ? *found : none;
  }

  std::vector<ResourceEntry> entries_;
};

std::vector<uint8_t> Words(std::initializer_list<uint16_t> words) {
  std::vector<uint8_t> out;
  for (uint16_t w : words) restest::Put16(out, w);
  return out;
}

std::vector<uint8_t> Bytes(std::span<const uint8_t> span) { return {span.begin(), span.end()}; }

TEST_F(EmbeddedResourcesTest, HoldsExactlyTheUtilitysResourcesInTheirLanguages) {
  // (type, name) -> language, for every entry of the image.
  std::map<std::pair<std::string, std::string>, uint16_t> expected = {
      {{"4", "105"}, kChineseTraditional},   // menu
      {{"10", "105"}, kChineseTraditional},  // menu-bar data
      {{"6", "2501"}, kChineseTraditional},  // strings 40000..40015
      {{"HEX", "107"}, kChineseTraditional},
      {{"HEX", "108"}, kChineseTraditional},
      {{"HEX", "109"}, kChineseTraditional},
      {{"HEX", "110"}, kChineseTraditional},
      {{"9", "ID_ACCEL"}, kUsEnglish},  // accelerators
      {{"5", "ABOUTBOX"}, kUsEnglish},  // dialog
      {{"14", "ID_ICON"}, kUsEnglish},  // icon group
      {{"3", "1"}, kUsEnglish},
      {{"3", "2"}, kUsEnglish},
      {{"3", "3"}, kUsEnglish},
  };
  auto text = [](const ResourceId& id) {
    return id.isOrdinal ? std::to_string(id.ordinal) : std::string(id.name.begin(), id.name.end());
  };
  std::map<std::pair<std::string, std::string>, uint16_t> actual;
  for (const ResourceEntry& entry : entries_) {
    auto key = std::make_pair(text(entry.type), text(entry.name));
    EXPECT_EQ(actual.count(key), 0u) << key.first << "/" << key.second << " stored twice";
    actual[key] = entry.language;
  }
  EXPECT_EQ(actual, expected);
}

TEST_F(EmbeddedResourcesTest, MenuHoldsTheSystemPopupWithItsThreeItems) {
  const ResourceEntry& menu = Entry(ResourceId::Ordinal(4), ResourceId::Ordinal(IDM_MAIN_MENU));
  // Byte for byte: header (version 0, header size 0), the popup, its items.
  std::vector<uint8_t> expected = Words({0, 0, 0x0090});
  restest::PutString(expected, u"System");
  restest::Put16(expected, 0);
  restest::Put16(expected, IDM_UPDATE_GO);
  restest::PutString(expected, u"Update firmware - Go");
  restest::Put16(expected, 0);
  restest::Put16(expected, 0);
  restest::PutString(expected, u"");
  restest::Put16(expected, 0x0080);
  restest::Put16(expected, IDM_EXIT);
  restest::PutString(expected, u"Exit");
  EXPECT_EQ(Bytes(menu.data), expected);

  auto items = resources::ParseMenuTemplate(menu.data);
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), 1u);
  const resources::MenuTemplateItem& popup = (*items)[0];
  EXPECT_TRUE(popup.IsPopup());
  EXPECT_EQ(popup.flags, MF_POPUP | MF_END);
  EXPECT_EQ(popup.text, u"System");
  ASSERT_EQ(popup.children.size(), 3u);
  EXPECT_EQ(popup.children[0].text, u"Update firmware - Go");
  EXPECT_EQ(popup.children[0].id, 118);
  EXPECT_EQ(popup.children[0].flags, 0);
  EXPECT_TRUE(popup.children[1].IsSeparator());
  EXPECT_EQ(popup.children[2].text, u"Exit");
  EXPECT_EQ(popup.children[2].id, 101);
  EXPECT_EQ(popup.children[2].flags, MF_END);
}

TEST_F(EmbeddedResourcesTest, MenuBarDataIsNineWords) {
  const ResourceEntry& data = Entry(ResourceId::Ordinal(10), ResourceId::Ordinal(IDM_MAIN_MENU));
  EXPECT_EQ(Bytes(data.data), Words({105, 1, 0xFFFE, 40001, 4, 0x18, 40003, 0, 0}));
}

TEST_F(EmbeddedResourcesTest, StringBlockHoldsOnlySystem) {
  const ResourceEntry& block = Entry(ResourceId::Ordinal(6), ResourceId::Ordinal(IDS_SYSTEM / 16 + 1));
  std::vector<uint8_t> expected = Words({0, 0, 0, 6, 'S', 'y', 's', 't', 'e', 'm'});
  for (int i = 4; i < 16; ++i) restest::Put16(expected, 0);
  EXPECT_EQ(Bytes(block.data), expected);
}

TEST_F(EmbeddedResourcesTest, AcceleratorIsCtrlQForExit) {
  const ResourceEntry& table = Entry(ResourceId::Ordinal(9), ResourceId::Name(u"ID_ACCEL"));
  EXPECT_EQ(Bytes(table.data), (std::vector<uint8_t>{0x8B, 0x00, 0x51, 0x00, 0x65, 0x00, 0x00, 0x00}));
}

TEST_F(EmbeddedResourcesTest, AboutBoxTemplate) {
  const ResourceEntry& entry = Entry(ResourceId::Ordinal(5), ResourceId::Name(u"ABOUTBOX"));
  auto dialog = resources::ParseDialogTemplate(entry.data);
  ASSERT_TRUE(dialog.has_value());
  EXPECT_EQ(dialog->style, 0x90C808C0u);
  EXPECT_EQ(dialog->style, static_cast<uint32_t>(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_CENTER |
                                                 DS_MODALFRAME | DS_SETFONT));
  EXPECT_EQ(dialog->exStyle, 0u);
  EXPECT_EQ(dialog->x, 10);
  EXPECT_EQ(dialog->y, 10);
  EXPECT_EQ(dialog->cx, 136);
  EXPECT_EQ(dialog->cy, 56);
  EXPECT_EQ(dialog->menu.kind, resources::TemplateName::kNone);
  EXPECT_EQ(dialog->windowClass.kind, resources::TemplateName::kNone);
  EXPECT_EQ(dialog->title, u"About");
  EXPECT_TRUE(dialog->hasFont);
  EXPECT_EQ(dialog->pointSize, 10);
  EXPECT_EQ(dialog->faceName, u"System");
  ASSERT_EQ(dialog->items.size(), 1u);
  const resources::DialogItemTemplate& text = dialog->items[0];
  EXPECT_EQ(text.style, 0x50020000u);
  EXPECT_EQ(text.exStyle, 0u);
  EXPECT_EQ(text.x, 12);
  EXPECT_EQ(text.y, 5);
  EXPECT_EQ(text.cx, 114);
  EXPECT_EQ(text.cy, 46);
  EXPECT_EQ(text.id, 0xFFFF);
  EXPECT_EQ(text.windowClass.kind, resources::TemplateName::kOrdinal);
  EXPECT_EQ(text.windowClass.ordinal, 0x0082);
  EXPECT_EQ(text.title.kind, resources::TemplateName::kString);
  EXPECT_EQ(text.title.text,
            u"Lumacord - Written for Zentrik to update phone module firmware and transmit data between BTUART and "
            u"FFUART");
  EXPECT_TRUE(text.creationData.empty());
  // Nothing follows the one control.
  size_t titleEnd = entry.data.size() - 2 /* creation-data size */;
  EXPECT_EQ(entry.data[titleEnd], 0);
  EXPECT_EQ(entry.data[titleEnd + 1], 0);
}

TEST_F(EmbeddedResourcesTest, IconGroupHasThreeImagesOfTwoSizesAndDepths) {
  const ResourceEntry& group = Entry(ResourceId::Ordinal(14), ResourceId::Name(u"ID_ICON"));
  auto icons = resources::ParseIconGroup(group.data);
  ASSERT_TRUE(icons.has_value());
  ASSERT_EQ(icons->size(), 3u);
  struct Expected {
    int size, bits, id;
  } expected[] = {{32, 2, 1}, {32, 4, 2}, {16, 2, 3}};
  for (size_t i = 0; i < 3; ++i) {
    const resources::IconGroupEntry& entry = (*icons)[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(entry.width, expected[i].size);
    EXPECT_EQ(entry.height, expected[i].size);
    EXPECT_EQ(entry.bitCount, expected[i].bits);
    EXPECT_EQ(entry.planes, 1);
    EXPECT_EQ(entry.iconId, expected[i].id);
    // The image itself agrees with its group entry.
    const ResourceEntry& image = Entry(ResourceId::Ordinal(3), ResourceId::Ordinal(entry.iconId));
    EXPECT_EQ(image.data.size(), entry.bytesInResource);
    ASSERT_GE(image.data.size(), 40u);
    auto u32 = [&](size_t at) {
      return static_cast<uint32_t>(image.data[at] | image.data[at + 1] << 8 | image.data[at + 2] << 16 |
                                   image.data[at + 3] << 24);
    };
    EXPECT_EQ(u32(0), 40u);                                          // BITMAPINFOHEADER
    EXPECT_EQ(u32(4), static_cast<uint32_t>(expected[i].size));      // width
    EXPECT_EQ(u32(8), static_cast<uint32_t>(2 * expected[i].size));  // colour + mask
    EXPECT_EQ(image.data[14], expected[i].bits);
    // Header, palette, colour bitmap and 1-bit mask, rows padded to 32 bits.
    size_t size = expected[i].size, bits = expected[i].bits;
    size_t colourRow = (size * bits + 31) / 32 * 4, maskRow = (size + 31) / 32 * 4;
    EXPECT_EQ(image.data.size(), 40 + 4 * (size_t{1} << bits) + (colourRow + maskRow) * size);
  }
}

struct ImageCase {
  uint16_t id;
  size_t length;
};

TEST_F(EmbeddedResourcesTest, ModuleImagesHaveTheSendersLengthsAndChecks) {
  const ImageCase images[] = {{IDR_BOOT1, BOOT1_LENGTH},
                              {IDR_BOOT2, BOOT2_LENGTH},
                              {IDR_FILE_SIZE, FILE_SIZE_LENGTH},
                              {IDR_FW, FIRMWARE_LENGTH}};
  std::map<uint16_t, std::span<const uint8_t>> data;
  for (const ImageCase& image : images) {
    const ResourceEntry& entry = Entry(ResourceId::Name(u"HEX"), ResourceId::Ordinal(image.id));
    EXPECT_EQ(entry.data.size(), image.length) << image.id;
    data[image.id] = entry.data;
  }
  EXPECT_EQ(data[IDR_BOOT1].size(), 184u);
  EXPECT_EQ(data[IDR_BOOT2].size(), 7414u);
  EXPECT_EQ(data[IDR_FILE_SIZE].size(), 3u);
  EXPECT_EQ(data[IDR_FW].size(), 2493720u);

  auto xorOf = [](std::span<const uint8_t> bytes, size_t first, size_t step) {
    uint8_t x = 0;
    for (size_t i = first; i < bytes.size(); i += step) x ^= bytes[i];
    return x;
  };
  EXPECT_EQ(xorOf(data[IDR_BOOT1], 0, 1), 0x69);
  EXPECT_EQ(xorOf(data[IDR_BOOT2], 0, 1), 0x58);
  EXPECT_EQ(xorOf(data[IDR_FW], 0, 2), 0x49);
  EXPECT_EQ(xorOf(data[IDR_FW], 1, 2), 0x24);
  EXPECT_EQ(Bytes(data[IDR_FILE_SIZE]), (std::vector<uint8_t>{0x3F, 0xEC, 0xE6}));
}

TEST_F(EmbeddedResourcesTest, ImagesAreReachedThroughTheApiAsTheUpdateReachesThem) {
  HINSTANCE program = kernel::ProgramModule();
  const ImageCase images[] = {{IDR_BOOT1, BOOT1_LENGTH},
                              {IDR_BOOT2, BOOT2_LENGTH},
                              {IDR_FILE_SIZE, FILE_SIZE_LENGTH},
                              {IDR_FW, FIRMWARE_LENGTH}};
  for (const ImageCase& image : images) {
    HRSRC found = FindResourceW(program, MAKEINTRESOURCE(image.id), TEXT("HEX"));
    ASSERT_NE(found, nullptr) << image.id;
    EXPECT_EQ(SizeofResource(program, found), image.length);
    const BYTE* bytes = static_cast<const BYTE*>(LoadResource(program, found));
    const ResourceEntry& entry = Entry(ResourceId::Name(u"HEX"), ResourceId::Ordinal(image.id));
    EXPECT_EQ(bytes, entry.data.data());
    // DWORD-aligned in memory, as resource data is on the handset.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes) % 4, 0u);
  }
}

}  // namespace
