#include "image/compose.h"

#include <cstring>

#include "common/fail.h"
#include "fileio/whole_file.h"
#include "image/boot_header.h"
#include "image/crc32.h"
#include "image/image_buffer.h"
#include "image/layout.h"
#include "image/word_reverse.h"

namespace {

// An application is read, checksummed and, in the high window, reversed one stretch at a
// time, so that its bytes are still in the processor's cache for the second and third step.
// A whole number of words, so that every word lies within one stretch.
constexpr std::int64_t stretch_size = std::int64_t{256} << 10;
static_assert(stretch_size % 4 == 0);

std::size_t as_size(std::int64_t n) {
  return static_cast<std::size_t>(n);
}

// Sets to 0xFF the bytes of [from, to) that the bootloader, read whole to offset 0, does not
// reach.
void fill_past_bootloader(std::uint8_t* image, std::int64_t from, std::int64_t to,
                          std::int64_t bootloader_length) {
  if (from < bootloader_length) {
    from = bootloader_length;
  }
  if (from < to) {
    std::memset(image + from, 0xFF, as_size(to - from));
  }
}

// Reads an application file of `size` bytes to `place` and returns the checksum of its bytes
// as read; when `reverse`, each stretch is then stored word-reversed.
std::uint32_t load_application(const char* path, std::uint8_t* place, std::int64_t size,
                               bool reverse) {
  InputFile file = open_input_file(path);
  std::uint32_t crc = 0;
  for (std::int64_t done = 0; done < size; done += stretch_size) {
    const std::size_t count = as_size(size - done < stretch_size ? size - done : stretch_size);
    read_input_stretch(file, place + done, static_cast<std::int64_t>(count));
    crc = crc32_feed(crc, place + done, count);
    if (reverse) {
      reverse_word_bytes(place + done, count);
    }
  }
  close_input_file(file);
  return crc;
}

}  // namespace

DownloadImage compose_download_image(const RunArgs& args) {
  BootHeader header;
  header.app1 = describe_application(args.load_addr1, args.status1);
  header.app2 = describe_application(args.load_addr2, args.status2);

  // Lengths first; a file that cannot be opened counts 0 here and is reported by its read.
  const std::int32_t len0 = get_file_length(args.src1);
  const std::int32_t len1 = get_file_length(args.src2);
  const std::int32_t len2 = get_file_length(args.src3);

  const ImageLayout layout = plan_layout(len1, len2);
  if (layout.length > max_file_length) {
    fail_and_wait(exit_image_too_large,
                  "\nThe image would be 2 GiB or larger: APP1 %s and APP2 %s are too long \n",
                  args.src2, args.src3);
  }
  // A bootloader runs on into the regions after its own, but never past the image.
  if (len0 > layout.length) {
    fail_and_wait(exit_bootloader_too_long, "\nThe bootloader is longer than the image: %s \n",
                  args.src1);
  }
  header.app1.offset = static_cast<std::uint32_t>(layout.app1_offset);
  header.app1.size = static_cast<std::uint32_t>(len1);
  header.app2.offset = static_cast<std::uint32_t>(layout.app2_offset);
  header.app2.size = static_cast<std::uint32_t>(len2);

  DownloadImage image;
  image.length = static_cast<std::int32_t>(layout.length);
  image.bytes = allocate_image_buffer(as_size(layout.length));
  if (image.bytes == nullptr) {
    fail_and_wait(exit_no_memory, "malloc memory fail !\n");
  }

  // Every byte that no input and not the header covers is 0xFF; the others are written
  // only once, by the reads and the header copy. A bootloader longer than its region runs
  // on into the following ones, and what comes later wins: each application over its own
  // bytes, the header over its 256.
  const std::int64_t app1_end = layout.app1_offset + len1;
  const std::int64_t app2_end = layout.app2_offset + len2;
  fill_past_bootloader(image.bytes, bootloader_offset, header_offset, len0);
  fill_past_bootloader(image.bytes, header_offset + std::int64_t{header_size}, app1_offset, len0);
  fill_past_bootloader(image.bytes, app1_end, layout.app2_offset, len0);
  fill_past_bootloader(image.bytes, app2_end, layout.length, len0);
  load_input_file(args.src1, image.bytes + bootloader_offset, len0);

  // Checksums cover the applications as read; every word of a high-window application is
  // then reversed whatever its status, an invalid application too.
  header.app1.crc = load_application(args.src2, image.bytes + layout.app1_offset, len1,
                                     in_high_window(args.load_addr1));
  header.app2.crc = load_application(args.src3, image.bytes + layout.app2_offset, len2,
                                     in_high_window(args.load_addr2));

  HeaderBytes encoded = encode_boot_header(header);
  header.header_crc = compute_header_crc(encoded);
  put_le32(encoded.data(), header_crc_field, header.header_crc);
  std::memcpy(image.bytes + header_offset, encoded.data(), encoded.size());
  return image;
}

void release_download_image(DownloadImage& image) {
  free_image_buffer(image.bytes, as_size(image.length));
  image.bytes = nullptr;
  image.length = 0;
}
