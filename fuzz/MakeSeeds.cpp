// Seed corpora for the fuzzers, from the real inputs: the program's compiled
// resources (fwutil.res) and a few scripted module conversations.
//
//   fuzz_seeds <fwutil.res> <dir>
//
// writes <dir>/res (the .res with the module images cut to a few bytes, so
// that the fuzzer's inputs stay small, and without them), <dir>/dialog and
// <dir>/menu (each dialog and menu template as stored), and <dir>/update.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "resources/ResFile.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

uint32_t ReadDword(const Bytes& image, size_t at) {
  uint32_t value = 0;
  std::memcpy(&value, image.data() + at, 4);
  return value;
}

// The image again, each entry's data cut to at most `keep` bytes where
// `cut` says so, or left out where `keep` is 0.
Bytes Rewrite(const Bytes& image, const std::vector<resources::ResourceEntry>& entries,
              bool (*cut)(const resources::ResourceEntry&), size_t keep) {
  Bytes out(image.begin(),
            image.begin() + static_cast<std::ptrdiff_t>(entries.empty() ? image.size() : entries[0].headerOffset));
  for (const resources::ResourceEntry& entry : entries) {
    size_t dataSize = entry.data.size();
    if (cut(entry)) {
      if (keep == 0) continue;
      dataSize = std::min(dataSize, keep);
    }
    uint32_t headerSize = ReadDword(image, entry.headerOffset + 4);
    size_t start = out.size();
    out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(entry.headerOffset),
               image.begin() + static_cast<std::ptrdiff_t>(entry.headerOffset + headerSize));
    uint32_t size32 = static_cast<uint32_t>(dataSize);
    std::memcpy(out.data() + start, &size32, 4);
    out.insert(out.end(), entry.data.begin(), entry.data.begin() + static_cast<std::ptrdiff_t>(dataSize));
    while (out.size() % 4 != 0) out.push_back(0);
  }
  return out;
}

bool IsModuleImage(const resources::ResourceEntry& entry) {
  return !entry.type.isOrdinal && entry.type.Matches(resources::ResourceId::Name(u"HEX"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fuzz_seeds <fwutil.res> <dir>\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  resources::ResParseError error;
  auto entries = resources::ParseResFile(image, &error);
  if (!entries) {
    std::fprintf(stderr, "fuzz_seeds: %s: %s at %zu\n", argv[1], error.message.c_str(), error.offset);
    return 1;
  }
  std::string dir = argv[2];
  for (const char* sub : {"", "/res", "/dialog", "/menu", "/update"}) mkdir((dir + sub).c_str(), 0755);

  bool ok = WriteFile(dir + "/res/fwutil-images-cut.res", Rewrite(image, *entries, IsModuleImage, 16)) &&
            WriteFile(dir + "/res/fwutil-no-images.res", Rewrite(image, *entries, IsModuleImage, 0));
  int dialogs = 0, menus = 0;
  for (const resources::ResourceEntry& entry : *entries) {
    if (!entry.type.isOrdinal) continue;
    Bytes data(entry.data.begin(), entry.data.end());
    if (entry.type.ordinal == 5) ok &= WriteFile(dir + "/dialog/dialog" + std::to_string(++dialogs), data);
    if (entry.type.ordinal == 4) ok &= WriteFile(dir + "/menu/menu" + std::to_string(++menus), data);
  }

  // Module conversations, one operation byte (and its operands) per wait:
  // 0 answer, 3 noise then answer, 4 a line event, 5 noise alone, 6 a write
  // fault, 7 the answer twice. Empty: every answer right.
  const std::vector<Bytes> conversations = {
      {},
      {0, 0, 0, 0},
      {3, 2, 0x11, 0x22, 0, 0},
      {4, 0, 0, 4, 1, 0},
      {0, 4, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 2, 0},
      {5, 1, 0x42, 0, 7, 0},
      {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6, 1, 0, 6, 20, 0},
  };
  for (size_t i = 0; i < conversations.size(); ++i) {
    ok &= WriteFile(dir + "/update/conversation" + std::to_string(i), conversations[i]);
  }
  std::printf("fuzz_seeds: %zu resources, %d dialogs, %d menus, %zu conversations\n", entries->size(), dialogs, menus,
              conversations.size());
  return ok ? 0 : 1;
}
