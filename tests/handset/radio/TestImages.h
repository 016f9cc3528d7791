// Stand-in module images of the sizes and check values the utility sends,
// made here so the tests do not depend on the build's image generator.
#pragma once

#include <cstdint>
#include <vector>

namespace radiotest {

inline std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 7);
  }
  return bytes;
}

inline uint8_t Xor(const std::vector<uint8_t>& bytes, size_t start = 0, size_t step = 1) {
  uint8_t x = 0;
  for (size_t i = start; i < bytes.size(); i += step) x ^= bytes[i];
  return x;
}

// XOR of all bytes = `check`.
inline std::vector<uint8_t> BootImage(size_t size, uint8_t check, uint32_t seed) {
  auto bytes = RandomBytes(size, seed);
  bytes.back() ^= static_cast<uint8_t>(Xor(bytes) ^ check);
  return bytes;
}

// XOR of the even offsets = `even`, of the odd ones = `odd`.
inline std::vector<uint8_t> FirmwareImage(size_t size, uint8_t even, uint8_t odd, uint32_t seed) {
  auto bytes = RandomBytes(size, seed);
  bytes[0] ^= static_cast<uint8_t>(Xor(bytes, 0, 2) ^ even);
  bytes[1] ^= static_cast<uint8_t>(Xor(bytes, 1, 2) ^ odd);
  return bytes;
}

struct Images {
  std::vector<uint8_t> boot1 = BootImage(184, 0x69, 1);
  std::vector<uint8_t> boot2 = BootImage(7414, 0x58, 2);
  std::vector<uint8_t> firmware = FirmwareImage(2493720, 0x49, 0x24, 3);
};

inline const Images& TheImages() {
  static const Images* images = new Images;
  return *images;
}

// The wire, as the utility writes it, one step per entry; `answer` is what
// it then waits for.
struct WireStep {
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> answer;
};

inline std::vector<WireStep> UpdateWire(const Images& images) {
  std::vector<WireStep> steps;
  std::vector<uint8_t> frame1{static_cast<uint8_t>(images.boot1.size())};
  frame1.insert(frame1.end(), images.boot1.begin(), images.boot1.end());
  frame1.push_back(Xor(images.boot1));
  steps.push_back({frame1, {0xA5}});

  const auto& b2 = images.boot2;
  std::vector<uint8_t> head{static_cast<uint8_t>(b2.size() >> 8), static_cast<uint8_t>(b2.size() & 0xFF)};
  for (size_t off = 0; off < b2.size(); off += 1000) {
    size_t n = std::min<size_t>(1000, b2.size() - off);
    std::vector<uint8_t> section = off == 0 ? head : std::vector<uint8_t>{};
    section.insert(section.end(), b2.begin() + off, b2.begin() + off + n);
    bool full = n == 1000;
    if (!full) section.push_back(Xor(b2));
    steps.push_back({section, full ? std::vector<uint8_t>{0xAA} : std::vector<uint8_t>{0xA5}});
  }
  steps.push_back({{0x50}, {0x00, 0x40, 0xA5}});
  steps.push_back({{0x54, 0x3F, 0xA0, 0x00}, {0xA5, 0xA5, 0xA5}});
  const auto& fw = images.firmware;
  std::vector<uint8_t> length{static_cast<uint8_t>(fw.size() >> 16), static_cast<uint8_t>(fw.size() >> 8),
                              static_cast<uint8_t>(fw.size())};
  for (size_t off = 0; off < fw.size(); off += 4000) {
    size_t n = std::min<size_t>(4000, fw.size() - off);
    std::vector<uint8_t> section = off == 0 ? length : std::vector<uint8_t>{};
    section.insert(section.end(), fw.begin() + off, fw.begin() + off + n);
    bool full = n == 4000;
    if (!full) {
      section.push_back(Xor(fw, 0, 2));
      section.push_back(Xor(fw, 1, 2));
    }
    steps.push_back({section, full ? std::vector<uint8_t>{0xAA} : std::vector<uint8_t>{0xA5}});
  }
  return steps;
}

}  // namespace radiotest
