#include "image/compose.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/fail.h"
#include "image/crc32.h"
#include "image/word_reverse.h"

namespace {

std::size_t as_size(std::int64_t n) {
  return static_cast<std::size_t>(n);
}

// Where one application lies and what it needs on its way into the image.
struct Placement {
  InputFile* file = nullptr;
  std::int64_t offset = 0;
  std::int64_t size = 0;
  bool reverse = false;
  std::uint32_t crc = 0;  // of the bytes read so far, before reversal
};

// The checksum of a whole application, read once through the stretch buffer.
std::uint32_t checksum_input(InputFile& file, std::int64_t size, std::uint8_t* buffer) {
  std::uint32_t crc = 0;
  for (std::int64_t done = 0; done < size; done += stretch_size) {
    const std::int64_t count = size - done < stretch_size ? size - done : stretch_size;
    read_input_stretch(file, buffer, count);
    crc = crc32_feed(crc, buffer, as_size(count));
  }
  rewind_input_file(file);
  return crc;
}

// Sets to 0xFF the bytes of the image range [from, to) that lie in the stretch starting at
// `start` and that the bootloader, which covers [0, boot_length), does not reach.
void fill_gap(std::uint8_t* stretch, std::int64_t start, std::int64_t end, std::int64_t from,
              std::int64_t to, std::int64_t boot_length) {
  from = std::max({from, start, boot_length});
  to = std::min(to, end);
  if (from < to) {
    std::memset(stretch + (from - start), 0xFF, as_size(to - from));
  }
}

// Reads the part of an application that lies in the stretch [start, end) into its place,
// checksums it as read and, in the high window, reverses its words. The stretch and the
// application both start on page boundaries, so the part starts on a word of the application.
void place_application(Placement& app, std::uint8_t* stretch, std::int64_t start,
                       std::int64_t end) {
  const std::int64_t from = std::max(start, app.offset);
  const std::int64_t to = std::min(end, app.offset + app.size);
  if (from >= to) {
    return;
  }
  std::uint8_t* place = stretch + (from - start);
  read_input_stretch(*app.file, place, to - from);
  app.crc = crc32_feed(app.crc, place, as_size(to - from));
  if (app.reverse) {
    reverse_word_bytes(place, as_size(to - from));
  }
}

// The bytes of the image range [start, end): a bootloader longer than its region runs on into
// the following ones, and what comes later wins: each application over its own bytes, the
// header over its 256. Every byte nothing covers is 0xFF.
void make_stretch(DownloadImage& image, InputFile& boot, Placement (&apps)[2],
                  const std::uint8_t* header, std::int64_t start, std::int64_t end) {
  std::uint8_t* stretch = image.stretch;
  const std::int64_t boot_length = image.boot_length;
  if (start < boot_length) {
    read_input_stretch(boot, stretch, std::min(end, boot_length) - start);
  }
  fill_gap(stretch, start, end, 0, apps[0].offset, boot_length);
  fill_gap(stretch, start, end, apps[0].offset + apps[0].size, apps[1].offset, boot_length);
  fill_gap(stretch, start, end, apps[1].offset + apps[1].size, image.length, boot_length);
  place_application(apps[0], stretch, start, end);
  place_application(apps[1], stretch, start, end);
  if (header != nullptr && start < header_offset + std::int64_t{header_size} &&
      header_offset < end) {
    const std::int64_t from = std::max(start, header_offset);
    const std::int64_t to = std::min(end, header_offset + std::int64_t{header_size});
    std::memcpy(stretch + (from - start), header + (from - header_offset), as_size(to - from));
  }
}

HeaderBytes finished_header(BootHeader& header) {
  HeaderBytes encoded = encode_boot_header(header);
  header.header_crc = compute_header_crc(encoded);
  put_le32(encoded.data(), header_crc_field, header.header_crc);
  return encoded;
}

}  // namespace

DownloadImage plan_download_image(const RunArgs& args) {
  DownloadImage image;
  image.header.app1 = describe_application(args.load_addr1, args.status1);
  image.header.app2 = describe_application(args.load_addr2, args.status2);

  // Lengths first; a file that cannot be opened counts 0 here and is reported when opened.
  const std::int32_t len0 = get_file_length(args.src1);
  const std::int32_t len1 = get_file_length(args.src2);
  const std::int32_t len2 = get_file_length(args.src3);

  image.layout = plan_layout(len1, len2);
  if (image.layout.length > max_file_length) {
    fail_and_wait(exit_image_too_large,
                  "\nThe image would be 2 GiB or larger: APP1 %s and APP2 %s are too long \n",
                  args.src2, args.src3);
  }
  // A bootloader runs on into the regions after its own, but never past the image.
  if (len0 > image.layout.length) {
    fail_and_wait(exit_bootloader_too_long, "\nThe bootloader is longer than the image: %s \n",
                  args.src1);
  }
  image.boot_length = len0;
  image.length = static_cast<std::int32_t>(image.layout.length);
  image.header.app1.offset = static_cast<std::uint32_t>(image.layout.app1_offset);
  image.header.app1.size = static_cast<std::uint32_t>(len1);
  image.header.app2.offset = static_cast<std::uint32_t>(image.layout.app2_offset);
  image.header.app2.size = static_cast<std::uint32_t>(len2);

  image.stretch = static_cast<std::uint8_t*>(std::malloc(as_size(stretch_size)));
  if (image.stretch == nullptr) {
    fail_and_wait(exit_no_memory, "malloc memory fail !\n");
  }
  return image;
}

ImageInputs open_image_inputs(const RunArgs& args) {
  ImageInputs inputs;
  inputs.boot = open_input_file(args.src1);
  inputs.app1 = open_input_file(args.src2);
  inputs.app2 = open_input_file(args.src3);
  return inputs;
}

void compose_download_image(DownloadImage& image, ImageInputs& inputs, OutputFile& out) {
  for (const InputFile* input : {&inputs.boot, &inputs.app1, &inputs.app2}) {
    separate_output_from_input(out, input->fd);
  }
  Placement apps[2];
  apps[0] = {&inputs.app1, image.layout.app1_offset, image.layout.app1_size,
             in_high_window(image.header.app1.load_addr), 0};
  apps[1] = {&inputs.app2, image.layout.app2_offset, image.layout.app2_size,
             in_high_window(image.header.app2.load_addr), 0};

  // Checksums cover the applications as read; every word of a high-window application is
  // then reversed whatever its status, an invalid application too.
  const bool header_first = output_written_in_place(out);
  HeaderBytes header{};
  if (header_first) {
    // The bootloader too must be readable whole before the first byte is written.
    (void)checksum_input(inputs.boot, image.boot_length, image.stretch);
    image.header.app1.crc = checksum_input(inputs.app1, apps[0].size, image.stretch);
    image.header.app2.crc = checksum_input(inputs.app2, apps[1].size, image.stretch);
    header = finished_header(image.header);
  }
  for (std::int64_t start = 0; start < image.length; start += stretch_size) {
    const std::int64_t end = std::min(start + stretch_size, std::int64_t{image.length});
    make_stretch(image, inputs.boot, apps, header_first ? header.data() : nullptr, start, end);
    store_output_bytes(out, image.stretch, end - start);
  }
  if (header_first) {
    // The header is written already: an application that changed between the two readings
    // would leave a checksum that does not match the bytes after it.
    if (apps[0].crc != image.header.app1.crc || apps[1].crc != image.header.app2.crc) {
      discard_output_file(out);
      fail_and_wait(exit_cannot_read, "\nCan not read the path: %s \n",
                    (apps[0].crc != image.header.app1.crc ? inputs.app1 : inputs.app2).path);
    }
  } else {
    image.header.app1.crc = apps[0].crc;
    image.header.app2.crc = apps[1].crc;
    header = finished_header(image.header);
    store_output_bytes_at(out, header_offset, header.data(), std::int64_t{header_size});
  }
  // An input that is also the output must be closed before the output takes its place.
  for (InputFile* input : {&inputs.boot, &inputs.app1, &inputs.app2}) {
    close_input_file(*input);
  }
  store_output_file(out);
}

void release_download_image(DownloadImage& image) {
  std::free(image.stretch);
  image.stretch = nullptr;
}
