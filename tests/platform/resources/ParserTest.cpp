// The parsers refuse truncated and corrupted input and never read outside
// it. Truncated copies live in buffers of exactly their size, so that the
// sanitizer build catches any read past the end.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "ResourceTestSupport.h"
#include "resources/ProgramImage.h"
#include "resources/ResFile.h"
#include "resources/Templates.h"

namespace {

using restest::Name;
using restest::Ord;
using restest::Put16;
using restest::Put32;
using restest::PutString;

// A heap copy of the first `length` bytes, with nothing after it.
struct Prefix {
  Prefix(const std::vector<uint8_t>& bytes, size_t length) : data(new uint8_t[length ? length : 1]), size(length) {
    std::copy_n(bytes.begin(), length, data.get());
  }
  std::span<const uint8_t> Span() const { return {data.get(), size}; }
  std::unique_ptr<uint8_t[]> data;
  size_t size;
};

// ---- .res files -------------------------------------------------------------

std::vector<uint8_t> SampleRes() {
  restest::ResBuilder builder;
  builder.Add(Name(u"HEX"), Ord(107), 1028, {1, 2, 3})
      .Add(Ord(5), Name(u"ABOUTBOX"), 1033, {4, 5, 6, 7, 8})
      .Add(Name(u"T"), Name(u"N"), 0, {});
  return builder.Bytes();
}

TEST(ResFileTest, ReadsTypesNamesLanguagesAndData) {
  std::vector<uint8_t> bytes = SampleRes();
  auto entries = resources::ParseResFile(bytes);
  ASSERT_TRUE(entries.has_value());
  ASSERT_EQ(entries->size(), 3u);  // the opening empty entry is not listed
  const resources::ResourceEntry& hex = (*entries)[0];
  EXPECT_FALSE(hex.type.isOrdinal);
  EXPECT_EQ(hex.type.name, u"HEX");
  EXPECT_TRUE(hex.name.isOrdinal);
  EXPECT_EQ(hex.name.ordinal, 107);
  EXPECT_EQ(hex.language, 1028);
  EXPECT_EQ(hex.memoryFlags, 0x30);
  EXPECT_EQ(std::vector<uint8_t>(hex.data.begin(), hex.data.end()), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(hex.headerOffset, 32u);
  const resources::ResourceEntry& dialog = (*entries)[1];
  EXPECT_EQ(dialog.type.ordinal, 5);
  EXPECT_EQ(dialog.name.name, u"ABOUTBOX");
  EXPECT_EQ(dialog.data.size(), 5u);
  EXPECT_TRUE((*entries)[2].data.empty());
  EXPECT_TRUE(resources::ParseResFile({}).has_value());
}

TEST(ResFileTest, EveryTruncationEitherEndsOnAnEntryOrIsRefused) {
  std::vector<uint8_t> bytes = SampleRes();
  auto whole = resources::ParseResFile(bytes);
  ASSERT_TRUE(whole.has_value());
  // Where each entry ends (a valid place to cut): after its data, with all,
  // some or none of its padding.
  std::set<size_t> ends = {0, 32 /* after the opening entry */};
  for (const auto& entry : *whole) {
    size_t end = static_cast<size_t>(entry.data.data() + entry.data.size() - bytes.data());
    for (size_t at = end; at <= (end + 3) / 4 * 4; ++at) ends.insert(at);
  }
  for (size_t length = 0; length < bytes.size(); ++length) {
    Prefix prefix(bytes, length);
    resources::ResParseError error;
    auto parsed = resources::ParseResFile(prefix.Span(), &error);
    EXPECT_EQ(parsed.has_value(), ends.count(length) == 1) << "cut at " << length;
    if (!parsed) {
      EXPECT_FALSE(error.message.empty());
    }
  }
}

TEST(ResFileTest, RefusesCorruptHeaders) {
  const std::vector<uint8_t> good = SampleRes();
  const size_t entry = 32;  // the HEX entry
  auto corrupt = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> bytes = good;
    bytes[at] = value;
    return resources::ParseResFile(bytes).has_value();
  };
  ASSERT_TRUE(resources::ParseResFile(good).has_value());
  EXPECT_FALSE(corrupt(entry + 3, 0x80));  // DataSize huge
  EXPECT_FALSE(corrupt(entry + 0, 0xF0));  // DataSize runs past the end
  EXPECT_FALSE(corrupt(entry + 7, 0x80));  // HeaderSize huge
  EXPECT_FALSE(corrupt(entry + 4, 8));     // HeaderSize smaller than its own fields
  EXPECT_FALSE(corrupt(entry + 4, 37));    // HeaderSize not a multiple of 4

  // A type name whose terminator lies beyond HeaderSize.
  std::vector<uint8_t> bytes;
  Put32(bytes, 0);
  Put32(bytes, 32);
  for (int i = 0; i < 12; ++i) Put16(bytes, 'A');  // 24 bytes of name, no terminator within the header
  EXPECT_FALSE(resources::ParseResFile(bytes).has_value());
}

TEST(ResFileTest, TheProgramImageParsesWhole) {
  resources::ResParseError error;
  auto entries = resources::ParseResFile(resources::ProgramImage(), &error);
  ASSERT_TRUE(entries.has_value()) << error.message;
  EXPECT_EQ(entries->size(), 13u);
}

// ---- menus -----------------------------------------------------------------

std::vector<uint8_t> SampleMenu() {
  std::vector<uint8_t> menu;
  Put16(menu, 0);
  Put16(menu, 0);
  Put16(menu, MF_POPUP);  // "File" with a nested popup
  PutString(menu, u"File");
  Put16(menu, MF_GRAYED);
  Put16(menu, 7);
  PutString(menu, u"Open");
  Put16(menu, MF_POPUP | MF_END);
  PutString(menu, u"Recent");
  Put16(menu, MF_END | MF_CHECKED);
  Put16(menu, 8);
  PutString(menu, u"a.txt");
  Put16(menu, MF_END);  // "Help", a plain command at the top level
  Put16(menu, 9);
  PutString(menu, u"Help");
  return menu;
}

TEST(MenuTemplateTest, ReadsNestedPopupsFlagsAndIds) {
  auto items = resources::ParseMenuTemplate(SampleMenu());
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), 2u);
  const auto& file = (*items)[0];
  EXPECT_TRUE(file.IsPopup());
  EXPECT_EQ(file.text, u"File");
  ASSERT_EQ(file.children.size(), 2u);
  EXPECT_EQ(file.children[0].flags, MF_GRAYED);
  EXPECT_EQ(file.children[0].id, 7);
  const auto& recent = file.children[1];
  EXPECT_TRUE(recent.IsPopup());
  ASSERT_EQ(recent.children.size(), 1u);
  EXPECT_EQ(recent.children[0].text, u"a.txt");
  EXPECT_EQ(recent.children[0].flags & MF_CHECKED, static_cast<uint16_t>(MF_CHECKED));
  EXPECT_EQ((*items)[1].id, 9);
  EXPECT_FALSE((*items)[1].IsPopup());
}

TEST(MenuTemplateTest, RefusesEveryTruncation) {
  std::vector<uint8_t> menu = SampleMenu();
  for (size_t length = 0; length < menu.size(); ++length) {
    Prefix prefix(menu, length);
    EXPECT_FALSE(resources::ParseMenuTemplate(prefix.Span()).has_value()) << "cut at " << length;
  }
}

TEST(MenuTemplateTest, RefusesCorruptTemplates) {
  std::vector<uint8_t> menu = SampleMenu();
  menu[0] = 1;  // an extended template
  EXPECT_FALSE(resources::ParseMenuTemplate(menu).has_value());

  menu = SampleMenu();
  menu[2] = 0xFF;  // header bytes to skip run past the end
  menu[3] = 0xFF;
  EXPECT_FALSE(resources::ParseMenuTemplate(menu).has_value());

  // No MF_END at the top level: the items run off the end.
  menu = SampleMenu();
  menu[menu.size() - 14] &= static_cast<uint8_t>(~MF_END);
  EXPECT_FALSE(resources::ParseMenuTemplate(menu).has_value());

  // Popups nested deeper than the parser allows.
  std::vector<uint8_t> deep = {0, 0, 0, 0};
  for (int i = 0; i <= resources::kMaxMenuDepth + 1; ++i) {
    Put16(deep, MF_POPUP | MF_END);
    PutString(deep, u"p");
  }
  Put16(deep, MF_END);
  Put16(deep, 1);
  PutString(deep, u"x");
  EXPECT_FALSE(resources::ParseMenuTemplate(deep).has_value());
}

TEST(MenuTemplateTest, SkipsExtraHeaderBytes) {
  std::vector<uint8_t> menu = {0, 0, 4, 0, 0xAA, 0xBB, 0xCC, 0xDD};
  Put16(menu, MF_END);
  Put16(menu, 3);
  PutString(menu, u"Only");
  auto items = resources::ParseMenuTemplate(menu);
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), 1u);
  EXPECT_EQ((*items)[0].text, u"Only");
}

// ---- dialogs ---------------------------------------------------------------

// A dialog with a menu by ordinal, a class by name, no font, and two items:
// a class by name with an ordinal title and creation data, then a button.
std::vector<uint8_t> SampleDialog() {
  std::vector<uint8_t> d;
  Put32(d, WS_POPUP | WS_CAPTION);
  Put32(d, WS_EX_TOPMOST);
  Put16(d, 2);
  Put16(d, static_cast<uint16_t>(-5));
  Put16(d, 6);
  Put16(d, 100);
  Put16(d, 50);
  Put16(d, 0xFFFF);
  Put16(d, 33);  // menu 33
  PutString(d, u"MyClass");
  PutString(d, u"Title");
  while (d.size() % 4) d.push_back(0);
  Put32(d, WS_CHILD);
  Put32(d, 0);
  Put16(d, 1);
  Put16(d, 2);
  Put16(d, 3);
  Put16(d, 4);
  Put16(d, 1000);
  PutString(d, u"Custom");
  Put16(d, 0xFFFF);
  Put16(d, 77);  // title: resource 77
  Put16(d, 5);   // creation data: the size word and three bytes
  d.insert(d.end(), {0x11, 0x22, 0x33});
  while (d.size() % 4) d.push_back(0);
  Put32(d, WS_CHILD | WS_VISIBLE);
  Put32(d, 0);
  Put16(d, 10);
  Put16(d, 20);
  Put16(d, 30);
  Put16(d, 14);
  Put16(d, IDOK);
  Put16(d, 0xFFFF);
  Put16(d, 0x0080);
  PutString(d, u"OK");
  Put16(d, 0);
  return d;
}

TEST(DialogTemplateTest, ReadsNamesOrdinalsCreationDataAndAlignment) {
  auto dialog = resources::ParseDialogTemplate(SampleDialog());
  ASSERT_TRUE(dialog.has_value());
  EXPECT_EQ(dialog->style, static_cast<uint32_t>(WS_POPUP | WS_CAPTION));
  EXPECT_EQ(dialog->exStyle, static_cast<uint32_t>(WS_EX_TOPMOST));
  EXPECT_EQ(dialog->x, -5);
  EXPECT_EQ(dialog->cy, 50);
  EXPECT_EQ(dialog->menu.kind, resources::TemplateName::kOrdinal);
  EXPECT_EQ(dialog->menu.ordinal, 33);
  EXPECT_EQ(dialog->windowClass.kind, resources::TemplateName::kString);
  EXPECT_EQ(dialog->windowClass.text, u"MyClass");
  EXPECT_EQ(dialog->title, u"Title");
  EXPECT_FALSE(dialog->hasFont);
  ASSERT_EQ(dialog->items.size(), 2u);
  const auto& custom = dialog->items[0];
  EXPECT_EQ(custom.id, 1000);
  EXPECT_EQ(custom.windowClass.text, u"Custom");
  EXPECT_EQ(custom.title.kind, resources::TemplateName::kOrdinal);
  EXPECT_EQ(custom.title.ordinal, 77);
  EXPECT_EQ(custom.creationData, (std::vector<uint8_t>{0x11, 0x22, 0x33}));
  const auto& ok = dialog->items[1];
  EXPECT_EQ(ok.id, IDOK);
  EXPECT_EQ(ok.windowClass.ordinal, 0x0080);
  EXPECT_EQ(ok.title.text, u"OK");
  EXPECT_EQ(ok.x, 10);
  EXPECT_EQ(ok.cy, 14);
}

TEST(DialogTemplateTest, RefusesEveryTruncation) {
  std::vector<uint8_t> dialog = SampleDialog();
  for (size_t length = 0; length < dialog.size(); ++length) {
    Prefix prefix(dialog, length);
    EXPECT_FALSE(resources::ParseDialogTemplate(prefix.Span()).has_value()) << "cut at " << length;
  }
}

TEST(DialogTemplateTest, RefusesCorruptTemplates) {
  std::vector<uint8_t> dialog = SampleDialog();
  dialog[8] = 0xFF;  // item count 255: items run off the end
  EXPECT_FALSE(resources::ParseDialogTemplate(dialog).has_value());

  // DS_SETFONT promises a font after the title.
  std::vector<uint8_t> bare;
  Put32(bare, WS_POPUP);
  Put32(bare, 0);
  for (int i = 0; i < 5; ++i) Put16(bare, 0);  // no items, at (0, 0), 0 by 0
  Put16(bare, 0);                              // no menu
  Put16(bare, 0);                              // the default class
  PutString(bare, u"A");
  EXPECT_TRUE(resources::ParseDialogTemplate(bare).has_value());
  bare[0] |= DS_SETFONT;
  EXPECT_FALSE(resources::ParseDialogTemplate(bare).has_value());
  Put16(bare, 8);
  EXPECT_FALSE(resources::ParseDialogTemplate(bare).has_value());  // the face name is missing
  PutString(bare, u"Tahoma");
  auto withFont = resources::ParseDialogTemplate(bare);
  ASSERT_TRUE(withFont.has_value());
  EXPECT_EQ(withFont->pointSize, 8);
  EXPECT_EQ(withFont->faceName, u"Tahoma");

  // Creation-data size 1 cannot even hold its own size word.
  dialog = SampleDialog();
  size_t sizeWord = 0;
  for (size_t i = 0; i + 1 < dialog.size(); i += 2) {
    if (dialog[i] == 5 && dialog[i + 1] == 0 && dialog[i + 2] == 0x11) sizeWord = i;
  }
  ASSERT_NE(sizeWord, 0u);
  dialog[sizeWord] = 1;
  EXPECT_FALSE(resources::ParseDialogTemplate(dialog).has_value());
  dialog[sizeWord] = 0xFF;  // more creation data than there is
  dialog[sizeWord + 1] = 0xFF;
  EXPECT_FALSE(resources::ParseDialogTemplate(dialog).has_value());

  // DLGTEMPLATEEX is not a standard template.
  std::vector<uint8_t> ex;
  Put16(ex, 1);
  Put16(ex, 0xFFFF);
  ex.resize(64, 0);
  EXPECT_FALSE(resources::ParseDialogTemplate(ex).has_value());
}

// ---- accelerators, strings, icon groups -------------------------------------

TEST(AcceleratorTableTest, ReadsEntriesUpToTheLastAndRefusesTablesWithoutOne) {
  std::vector<uint8_t> table = {FVIRTKEY | FALT, 0, 'X', 0, 5, 0, 0, 0, 0x80 | FCONTROL, 0, 'A', 0, 6, 0, 0, 0};
  auto entries = resources::ParseAcceleratorTable(table);
  ASSERT_TRUE(entries.has_value());
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].fVirt, FVIRTKEY | FALT);
  EXPECT_EQ((*entries)[0].key, 'X');
  EXPECT_EQ((*entries)[1].fVirt, FCONTROL);  // without the end mark
  EXPECT_EQ((*entries)[1].cmd, 6);
  for (size_t length = 0; length < table.size(); ++length) {
    Prefix prefix(table, length);
    EXPECT_FALSE(resources::ParseAcceleratorTable(prefix.Span()).has_value()) << "cut at " << length;
  }
  table[8] &= 0x7F;
  EXPECT_FALSE(resources::ParseAcceleratorTable(table).has_value());
}

TEST(StringBlockTest, ReadsSlotsAndRefusesStringsCutShort) {
  std::vector<uint8_t> block;
  Put16(block, 2);
  Put16(block, 'h');
  Put16(block, 'i');
  Put16(block, 0);
  Put16(block, 1);
  Put16(block, 'x');
  auto slots = resources::ParseStringBlock(block);
  ASSERT_TRUE(slots.has_value());
  EXPECT_EQ((*slots)[0].length, 2u);
  EXPECT_EQ((*slots)[0].offset, 2u);
  EXPECT_EQ((*slots)[1].length, 0u);
  EXPECT_EQ((*slots)[2].length, 1u);
  EXPECT_EQ((*slots)[2].offset, 10u);
  EXPECT_EQ((*slots)[15].length, 0u);  // the block stops after slot 2
  // Cut inside a length word or a string: refused.
  for (size_t length : {1u, 3u, 4u, 5u, 9u, 11u}) {
    Prefix prefix(block, length);
    EXPECT_FALSE(resources::ParseStringBlock(prefix.Span()).has_value()) << "cut at " << length;
  }
}

TEST(IconGroupTest, ReadsEntriesAndRefusesShortOrForeignGroups) {
  std::vector<uint8_t> group;
  Put16(group, 0);
  Put16(group, 1);
  Put16(group, 2);
  for (int i = 1; i <= 2; ++i) {
    group.insert(group.end(), {static_cast<uint8_t>(16 * i), static_cast<uint8_t>(16 * i), 0, 0});
    Put16(group, 1);
    Put16(group, static_cast<uint16_t>(4 * i));
    Put32(group, 100u * i);
    Put16(group, static_cast<uint16_t>(i));
  }
  auto entries = resources::ParseIconGroup(group);
  ASSERT_TRUE(entries.has_value());
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[1].width, 32);
  EXPECT_EQ((*entries)[1].bitCount, 8);
  EXPECT_EQ((*entries)[1].bytesInResource, 200u);
  EXPECT_EQ((*entries)[1].iconId, 2);
  for (size_t length = 0; length < group.size(); ++length) {
    Prefix prefix(group, length);
    EXPECT_FALSE(resources::ParseIconGroup(prefix.Span()).has_value()) << "cut at " << length;
  }
  group[2] = 2;  // a cursor group
  EXPECT_FALSE(resources::ParseIconGroup(group).has_value());
}

}  // namespace
