#include "image/compose.h"

#include <cstdlib>
#include <cstring>

#include "common/fail.h"
#include "fileio/whole_file.h"
#include "image/boot_header.h"
#include "image/crc32.h"
#include "image/layout.h"
#include "image/word_reverse.h"

namespace {

std::size_t as_size(std::int64_t n) {
  return static_cast<std::size_t>(n);
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
  image.bytes = static_cast<std::uint8_t*>(std::malloc(as_size(layout.length)));
  if (image.bytes == nullptr) {
    fail_and_wait(exit_no_memory, "malloc memory fail !\n");
  }
  std::memset(image.bytes, 0xFF, as_size(layout.length));

  std::uint8_t* const app1 = image.bytes + layout.app1_offset;
  std::uint8_t* const app2 = image.bytes + layout.app2_offset;
  load_input_file(args.src1, image.bytes + bootloader_offset, len0);
  load_input_file(args.src2, app1, len1);
  load_input_file(args.src3, app2, len2);

  // Checksums cover the applications as read, before any reversal.
  header.app1.crc = crc32_feed(0, app1, as_size(len1));
  header.app2.crc = crc32_feed(0, app2, as_size(len2));
  HeaderBytes encoded = encode_boot_header(header);
  header.header_crc = compute_header_crc(encoded);
  put_le32(encoded.data(), header_crc_field, header.header_crc);
  std::memcpy(image.bytes + header_offset, encoded.data(), encoded.size());

  // Every word is reversed whatever the status: an invalid application too.
  if (in_high_window(args.load_addr1)) {
    reverse_word_bytes(app1, as_size(len1));
  }
  if (in_high_window(args.load_addr2)) {
    reverse_word_bytes(app2, as_size(len2));
  }
  return image;
}

void release_download_image(DownloadImage& image) {
  std::free(image.bytes);
  image.bytes = nullptr;
  image.length = 0;
}
