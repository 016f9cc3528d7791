// The verify line at the end of a run: the emulated module's flash against
// the firmware image meant for it.
#include <gtest/gtest.h>

#include "handset/Handset.h"
#include "radio/Module.h"

namespace {

using handset::FlashVerifyText;

std::vector<uint8_t> Image() {
  std::vector<uint8_t> image(0x30000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  return image;
}

TEST(FlashVerify, SaysWhetherTheFlashHoldsTheImageAndWhereItDiffers) {
  const std::vector<uint8_t> image = Image();
  EXPECT_EQ(FlashVerifyText({image, true}, image), "flash holds the firmware image (196608 bytes)");

  // Nothing valid in the flash: an image transfer erased it and never ended.
  EXPECT_EQ(FlashVerifyText({{}, false}, image), "the flash holds no firmware (erased when the image transfer began)");
  EXPECT_EQ(FlashVerifyText({image, false}, image), "the flash holds no firmware (erased when the image transfer began)");

  std::vector<uint8_t> spoiled = image;
  spoiled[0x1F3A0] ^= 0x01;
  spoiled[0x2FFFF] ^= 0xFF;
  EXPECT_EQ(FlashVerifyText({spoiled, true}, image),
            "flash differs from the firmware image: first difference at offset 0x01F3A0, 2 bytes differ");
  spoiled = image;
  spoiled[0] = static_cast<uint8_t>(~spoiled[0]);
  EXPECT_EQ(FlashVerifyText({spoiled, true}, image),
            "flash differs from the firmware image: first difference at offset 0x000000, 1 byte differs");

  // A flash shorter or longer than the image: the bytes only one holds differ.
  std::vector<uint8_t> shorter(image.begin(), image.end() - 16);
  EXPECT_EQ(FlashVerifyText({shorter, true}, image),
            "flash differs from the firmware image: first difference at offset 0x02FFF0, 16 bytes differ (flash "
            "196592 bytes, image 196608 bytes)");
  std::vector<uint8_t> longer = image;
  longer.push_back(0);
  longer[3] ^= 0x10;
  EXPECT_EQ(FlashVerifyText({longer, true}, image),
            "flash differs from the firmware image: first difference at offset 0x000003, 2 bytes differ (flash "
            "196609 bytes, image 196608 bytes)");
}

}  // namespace
