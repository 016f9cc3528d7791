// imagegen: writes deterministic stand-ins for the radio module's images
// and the program's icon, for builds that have no real images.
//
// The image contents are pseudo-random bytes from a fixed seed; one or two
// bytes per image are then adjusted so that the senders' check bytes come
// out as they do for the real images. Same input, same output, every run.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr size_t kBoot1Length = 184;
constexpr size_t kBoot2Length = 7414;
constexpr size_t kFirmwareLength = 2493720;

constexpr uint8_t kBoot1Check = 0x69;
constexpr uint8_t kBoot2Check = 0x58;
constexpr uint8_t kFirmwareEvenCheck = 0x49;
constexpr uint8_t kFirmwareOddCheck = 0x24;

// splitmix64: small, fast and the same on every host.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  uint64_t state_;
};

std::vector<uint8_t> RandomBytes(size_t length, uint64_t seed) {
  Random random(seed);
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; i += 8) {
    uint64_t word = random.Next();
    for (size_t k = 0; k < 8 && i + k < length; ++k) bytes[i + k] = static_cast<uint8_t>(word >> (8 * k));
  }
  return bytes;
}

// XOR of the bytes at offsets first, first + step, ...
uint8_t Xor(const std::vector<uint8_t>& bytes, size_t first, size_t step) {
  uint8_t x = 0;
  for (size_t i = first; i < bytes.size(); i += step) x ^= bytes[i];
  return x;
}

// Adjusts the last byte of the run first, first + step, ... so that the
// run's XOR becomes `check`.
void FixCheck(std::vector<uint8_t>& bytes, size_t first, size_t step, uint8_t check) {
  size_t last = first + (bytes.size() - 1 - first) / step * step;
  bytes[last] ^= static_cast<uint8_t>(Xor(bytes, first, step) ^ check);
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::cerr << "imagegen: cannot write " << path << ": " << std::strerror(errno) << "\n";
    return false;
  }
  return true;
}

bool WriteImages(const std::string& dir) {
  std::vector<uint8_t> boot1 = RandomBytes(kBoot1Length, 0x426F6F7431ull);
  FixCheck(boot1, 0, 1, kBoot1Check);
  std::vector<uint8_t> boot2 = RandomBytes(kBoot2Length, 0x426F6F7432ull);
  FixCheck(boot2, 0, 1, kBoot2Check);
  std::vector<uint8_t> firmware = RandomBytes(kFirmwareLength, 0x4669726D77ull);
  FixCheck(firmware, 0, 2, kFirmwareEvenCheck);
  FixCheck(firmware, 1, 2, kFirmwareOddCheck);
  const std::vector<uint8_t> fileSize = {0x3F, 0xEC, 0xE6};
  return WriteFile(dir + "/boot1.bin", boot1) && WriteFile(dir + "/boot2.bin", boot2) &&
         WriteFile(dir + "/filesize.bin", fileSize) && WriteFile(dir + "/firmware.bin", firmware);
}

// --- the icon ---------------------------------------------------------

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// Colour roles of the art; each depth maps them to its own palette.
enum Role { kClear, kBody, kWave, kMast };

// A radio mast under two arcs of waves on a rounded tile. `size` is 16 or
// 32; the drawing is scaled from a 32-pixel design.
Role Pixel(int size, int x, int y) {
  double s = 32.0 / size;
  double fx = (x + 0.5) * s, fy = (y + 0.5) * s;  // design coordinates, y down
  // Rounded tile with a margin of one design pixel.
  double cx = fx < 7 ? 7 - fx : (fx > 25 ? fx - 25 : 0);
  double cy = fy < 7 ? 7 - fy : (fy > 25 ? fy - 25 : 0);
  if (fx < 1 || fx > 31 || fy < 1 || fy > 31 || cx * cx + cy * cy > 36) return kClear;
  // The mast: a narrow triangle from the centre down to the base.
  if (fy >= 14 && fy <= 28) {
    double half = 1 + (fy - 14) * 0.35;
    // Drawn as an outline, or solid where the pixels are too coarse for one.
    bool edge = size < 32 || fx <= 16 - half + 1.6 || fx >= 16 + half - 1.6 || fy >= 26.5;
    if (fx >= 16 - half && fx <= 16 + half && edge) {
      return kMast;
    }
  }
  // Waves: two arcs of rings around the mast's tip, above it.
  double dx = fx - 16, dy = fy - 13;
  double r = dx * dx + dy * dy;
  bool upper = dy < 0 && (dx * dx) < (dy * dy) * 3.5;
  if (upper && ((r >= 16 && r <= 30) || (r >= 64 && r <= 90))) return kWave;
  if (r <= 4) return kWave;
  return kBody;
}

struct IconImage {
  int size;
  int bits;  // 2 or 4
  std::vector<uint8_t> bytes;
};

// One icon image: BITMAPINFOHEADER (height doubled for the AND mask), the
// palette, the colour (XOR) bitmap and the 1-bit AND mask, rows bottom-up
// and padded to 32 bits.
IconImage MakeIconImage(int size, int bits) {
  // Palette entries as 0x00RRGGBB (stored little-endian: blue, green, red, 0).
  static const std::array<uint32_t, 4> palette2 = {0x000000, 0x003080, 0xFFFFFF, 0xC0C0C0};
  static const std::array<uint32_t, 16> palette4 = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                                    0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                                    0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
  // Role to palette index: clear pixels are black under a set AND bit.
  const int index2[] = {0, 1, 2, 3};
  const int index4[] = {0, 4, 11, 15};  // dark blue tile, yellow waves, white mast

  int colours = 1 << bits;
  size_t xorRow = ((size * bits + 31) / 32) * 4;
  size_t andRow = ((size + 31) / 32) * 4;
  std::vector<uint8_t> out;
  Put32(out, 40);
  Put32(out, size);
  Put32(out, size * 2);
  Put16(out, 1);
  Put16(out, bits);
  Put32(out, 0);  // BI_RGB
  Put32(out, static_cast<uint32_t>((xorRow + andRow) * size));
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, 0);
  for (int i = 0; i < colours; ++i) Put32(out, bits == 2 ? palette2[i] : palette4[i]);
  std::vector<uint8_t> colour(xorRow * size), mask(andRow * size);
  for (int y = 0; y < size; ++y) {
    size_t row = static_cast<size_t>(size - 1 - y);  // bottom-up
    for (int x = 0; x < size; ++x) {
      Role role = Pixel(size, x, y);
      int index = bits == 2 ? index2[role] : index4[role];
      int bit = x * bits;
      colour[row * xorRow + bit / 8] |= static_cast<uint8_t>(index << (8 - bits - bit % 8));
      if (role == kClear) mask[row * andRow + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    }
  }
  out.insert(out.end(), colour.begin(), colour.end());
  out.insert(out.end(), mask.begin(), mask.end());
  return IconImage{size, bits, std::move(out)};
}

bool WriteIcon(const std::string& path) {
  const IconImage images[] = {MakeIconImage(32, 2), MakeIconImage(32, 4), MakeIconImage(16, 2)};
  const size_t count = sizeof(images) / sizeof(images[0]);
  std::vector<uint8_t> out;
  Put16(out, 0);  // reserved
  Put16(out, 1);  // icon
  Put16(out, count);
  uint32_t offset = static_cast<uint32_t>(6 + 16 * count);
  for (const IconImage& image : images) {
    out.push_back(static_cast<uint8_t>(image.size));
    out.push_back(static_cast<uint8_t>(image.size));
    out.push_back(static_cast<uint8_t>(1 << image.bits));  // colour count
    out.push_back(0);
    Put16(out, 1);  // planes
    Put16(out, image.bits);
    Put32(out, static_cast<uint32_t>(image.bytes.size()));
    Put32(out, offset);
    offset += static_cast<uint32_t>(image.bytes.size());
  }
  for (const IconImage& image : images) out.insert(out.end(), image.bytes.begin(), image.bytes.end());
  return WriteFile(path, out);
}

void Usage(std::ostream& out) {
  out << "Usage: imagegen images DIR\n"
         "       imagegen icon FILE\n"
         "\n"
         "images: writes stand-ins for the radio module's images into DIR:\n"
         "  boot1.bin     184 bytes, XOR of all bytes 0x69\n"
         "  boot2.bin     7414 bytes, XOR of all bytes 0x58\n"
         "  filesize.bin  the three bytes 3F EC E6\n"
         "  firmware.bin  2493720 bytes, XOR of the bytes at even offsets 0x49, at odd offsets 0x24\n"
         "Their contents are pseudo-random bytes from a fixed seed, adjusted so that the checks hold;\n"
         "every run writes the same bytes. They stand in for the real images, which are not shipped.\n"
         "\n"
         "icon: writes the program's icon (.ico) with three images: 32x32 at 2 bits per pixel,\n"
         "32x32 at 4 bits per pixel and 16x16 at 2 bits per pixel.\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    Usage(std::cout);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "images") == 0) return WriteImages(argv[2]) ? 0 : 1;
  if (argc == 3 && std::strcmp(argv[1], "icon") == 0) return WriteIcon(argv[2]) ? 0 : 1;
  Usage(std::cerr);
  return 2;
}
