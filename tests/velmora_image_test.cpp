// The download image velmora writes, byte for byte.
#include <gtest/gtest.h>

#include "support/inputs.h"
#include "support/model.h"

namespace {

std::uint32_t crc(const Bytes& b) {
  return model_crc(b);
}

void expect_composes_as_reference(const Inputs& in) {
  ScratchDir dir;
  const Composed c = compose(dir, in);
  ASSERT_EQ(c.run.exit_status, 0) << c.run.out;
  const Bytes expected = reference_image(in);
  ASSERT_EQ(c.image.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(c.image[i], expected[i]) << "first difference at 0x" << std::hex << i;
  }
}

TEST(VelmoraImage, WholeHeaderExample) {
  ScratchDir dir;
  Inputs in;
  in.boot = random_bytes(0x800, 1);
  in.app1 = random_bytes(0x1234, 2);
  in.status1 = "1";
  in.app2 = random_bytes(0x100, 3);
  in.load_addr2 = "0x11000000";
  in.status2 = "2";
  const Composed c = compose(dir, in);
  ASSERT_EQ(c.run.exit_status, 0);
  ASSERT_EQ(c.image.size(), 0x6000u);
  const std::uint8_t* h = c.image.data() + 0x2000;
  EXPECT_EQ(get_le32(h, 0x00), 1u);
  EXPECT_EQ(get_le32(h, 0x04), 0u);
  EXPECT_EQ(get_le32(h, 0x08), crc(in.app1));
  EXPECT_EQ(get_le32(h, 0x0C), 0x3000u);
  EXPECT_EQ(get_le32(h, 0x10), 0x1234u);
  EXPECT_EQ(get_le32(h, 0x20), 0x10000000u);
  EXPECT_EQ(get_le32(h, 0x30), 1u);
  EXPECT_EQ(get_le32(h, 0x34), 0x8000u);
  EXPECT_EQ(get_le32(h, 0x38), crc(in.app2));  // over the bytes before reversal
  EXPECT_EQ(get_le32(h, 0x3C), 0x5000u);
  EXPECT_EQ(get_le32(h, 0x40), 0x100u);
  EXPECT_EQ(get_le32(h, 0x50), 0x11000000u);
  EXPECT_EQ(get_le32(h, 0xF0), model_crc(h, 0xF0));
  EXPECT_EQ(c.image[0x5000], in.app2[3]);  // stored reversed
  EXPECT_EQ(c.image[0x5003], in.app2[0]);
  expect_composes_as_reference(in);
}

TEST(VelmoraImage, EmptyInputsGiveThreePages) {
  ScratchDir dir;
  const Composed c = compose(dir, Inputs{});
  ASSERT_EQ(c.image.size(), 0x3000u);
  for (std::size_t i = 0; i < 0x3000; ++i) {
    if (i < 0x2000 || i >= 0x2100) {
      ASSERT_EQ(c.image[i], 0xFF) << i;
    }
  }
  EXPECT_EQ(get_le32(c.image.data(), 0x2000 + 0x0C), 0x3000u);
  EXPECT_EQ(get_le32(c.image.data(), 0x2000 + 0x3C), 0x3000u);  // APP2 at APP1's offset
  EXPECT_EQ(get_le32(c.image.data(), 0x2000 + 0x08), 0u);       // empty: checksum 0
}

TEST(VelmoraImage, SixByteHighWindowApplication) {
  ScratchDir dir;
  Inputs in;
  in.app1 = {1, 2, 3, 4, 5, 6};
  in.load_addr1 = "0x11000000";
  const Composed c = compose(dir, in);
  ASSERT_EQ(c.image.size(), 0x4000u);
  EXPECT_EQ(Bytes(c.image.begin() + 0x3000, c.image.begin() + 0x3008),
            (Bytes{4, 3, 2, 1, 5, 6, 0xFF, 0xFF}));
  EXPECT_EQ(c.image[0x3FFF], 0xFF);
  const Bytes original = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(get_le32(c.image.data(), 0x2008), crc(original));
}

TEST(VelmoraImage, LongBootloaderRunsOnIntoLaterRegions) {
  ScratchDir dir;
  Inputs in;
  in.boot = random_bytes(0x2200, 4);
  const Composed c = compose(dir, in);
  ASSERT_EQ(c.image.size(), 0x3000u);
  EXPECT_TRUE(std::equal(in.boot.begin(), in.boot.begin() + 0x2000, c.image.begin()));
  EXPECT_EQ(get_le32(c.image.data(), 0x200C), 0x3000u);  // the header wins at 0x2000
  EXPECT_TRUE(std::equal(in.boot.begin() + 0x2100, in.boot.end(), c.image.begin() + 0x2100));
  EXPECT_EQ(c.image[0x2200], 0xFF);
  expect_composes_as_reference(in);
}

TEST(VelmoraImage, BootloaderBytesStayAfterAShortApplication) {
  Inputs in;
  in.boot = random_bytes(0x4000, 5);  // reaches the end of APP1's page
  in.app1 = random_bytes(0x10, 6);
  in.load_addr1 = "0x11000000";
  expect_composes_as_reference(in);
}

TEST(VelmoraImage, LengthsAcrossPageAndWordEdges) {
  std::uint32_t seed = 100;
  for (std::size_t len1 : {0x0u, 0x1u, 0x3u, 0xFFFu, 0x1000u, 0x1001u}) {
    for (std::size_t len2 : {0x0u, 0x2u, 0x1000u, 0x1003u}) {
      SCOPED_TRACE(testing::Message() << std::hex << len1 << " " << len2);
      Inputs in;
      in.boot = random_bytes(0x100, seed++);
      in.app1 = random_bytes(len1, seed++);
      in.app2 = random_bytes(len2, seed++);
      in.load_addr1 = len1 % 2 == 0 ? "0x10FFFFFF" : "0x11000000";
      in.status2 = "2";
      expect_composes_as_reference(in);
    }
  }
}

TEST(VelmoraImage, StatusesAtTheWindowEdge) {
  const char* addresses[] = {"0x10000000", "0x10FFFFFF", "0x11000000", "0xFFFFFFFF"};
  const char* statuses[] = {"0", "1", "2", "80", "ff", "7f"};
  std::uint32_t seed = 200;
  for (const char* addr : addresses) {
    for (const char* status : statuses) {
      SCOPED_TRACE(testing::Message() << addr << " " << status);
      Inputs in;
      in.app1 = random_bytes(9, seed++);
      in.app2 = random_bytes(10, seed++);
      in.load_addr1 = addr;
      in.status1 = status;
      in.load_addr2 = addr;
      in.status2 = status;
      expect_composes_as_reference(in);
    }
  }
}

TEST(VelmoraImage, ZeroApplicationHasChecksumZero) {
  ScratchDir dir;
  Inputs in;
  in.app2 = Bytes(0x1800, 0);
  const Composed c = compose(dir, in);
  EXPECT_EQ(get_le32(c.image.data(), 0x2038), 0u);
}

TEST(VelmoraImage, LineEndAndEndOfFileBytesPassUnchanged) {
  Inputs in;
  // What a text-mode stream on Windows would change: a line feed written as CR LF, a CR LF
  // read as a line feed, and 0x1A read as the end of the file.
  in.boot = Bytes(0x1FFF, 0x0A);
  in.app1 = Bytes(0x1001, 0x1A);
  for (std::size_t i = 0; i < in.app1.size(); i += 3) {
    in.app1[i] = 0x0A;
  }
  for (std::size_t i = 0; i < 0x11; ++i) {
    const std::uint8_t pattern[] = {0x0D, 0x0A, 0x1A, 0x0D};
    in.app2.push_back(pattern[i % 4]);
  }
  expect_composes_as_reference(in);
}

TEST(VelmoraImage, OutputMayNameAnInput) {
  ScratchDir dir;
  Inputs in;
  in.boot = random_bytes(0x10, 7);
  in.app1 = random_bytes(0x20, 8);
  in.app2 = random_bytes(0x30, 9);
  write_bytes(dir.file("boot.bin"), in.boot);
  write_bytes(dir.file("app1.bin"), in.app1);
  write_bytes(dir.file("app2.bin"), in.app2);
  std::vector<std::string> words = velmora_words(dir, in);
  words[7] = dir.file("app1.bin");
  const ChildResult r = run_velmora(words);
  ASSERT_EQ(r.exit_status, 0);
  EXPECT_EQ(read_bytes(dir.file("app1.bin")), reference_image(in));
}

}  // namespace
