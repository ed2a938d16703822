// Arbitrary bytes cut into a bootloader, two applications, addresses and statuses are composed
// through the real files-to-image path, then read back: the header fields, the checksums and
// the un-reversed applications must equal what went in.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/run_args.h"
#include "image/boot_header.h"
#include "image/compose.h"
#include "image/crc32.h"
#include "image/layout.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string& scratch_dir() {
  static const std::string dir = [] {
    std::string pattern = "/tmp/velmora-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    return pattern;
  }();
  return dir;
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    std::abort();
  }
  std::fclose(f);
}

Bytes read_file(const std::string& path) {
  Bytes bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::abort();
  }
  for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) {
    bytes.push_back(static_cast<std::uint8_t>(c));
  }
  std::fclose(f);
  return bytes;
}

void check(bool holds) {
  if (!holds) {
    std::abort();
  }
}

std::uint32_t take_le32(const std::uint8_t* p) {
  return get_le32(p, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t head = 14;
  if (size < head) {
    return 0;
  }
  // Addresses land on either side of the high window half of the time.
  const std::uint32_t load1 = take_le32(data) ^ ((data[12] & 1u) != 0 ? 0x11000000u : 0u);
  const std::uint32_t load2 = take_le32(data + 4) ^ ((data[12] & 2u) != 0 ? 0x11000000u : 0u);
  const auto status1 = static_cast<std::int8_t>(data[8]);
  const auto status2 = static_cast<std::int8_t>(data[9]);
  const std::size_t rest = size - head;
  const std::size_t cut1 = (static_cast<std::size_t>(data[10]) * rest) / 255;
  const std::size_t cut2 = cut1 + (static_cast<std::size_t>(data[11]) * (rest - cut1)) / 255;
  const std::uint8_t* body = data + head;
  // The bootloader never outgrows the smallest image.
  const Bytes boot(body, body + std::min<std::size_t>(cut1, 0x3000));
  const Bytes app1(body + cut1, body + cut2);
  const Bytes app2(body + cut2, body + rest);

  const std::string dir = scratch_dir();
  const std::string boot_path = dir + "/boot.bin";
  const std::string app1_path = dir + "/app1.bin";
  const std::string app2_path = dir + "/app2.bin";
  write_file(boot_path, boot);
  write_file(app1_path, app1);
  write_file(app2_path, app2);

  RunArgs args;
  args.src1 = boot_path.c_str();
  args.src2 = app1_path.c_str();
  args.load_addr1 = load1;
  args.status1 = status1;
  args.src3 = app2_path.c_str();
  args.load_addr2 = load2;
  args.status2 = status2;
  const std::string out_path = dir + "/out.bin";
  Composition composition;
  start_composition(args, composition);
  OutputFile out;
  open_output_or_fail(out_path.c_str(), out);
  compose_download_image(composition, out);
  const Bytes image = read_file(out_path);

  const ImageLayout layout =
      plan_layout(static_cast<std::int64_t>(app1.size()), static_cast<std::int64_t>(app2.size()));
  check(static_cast<std::int64_t>(image.size()) == layout.length);
  HeaderBytes header_bytes{};
  std::copy(image.begin() + header_offset, image.begin() + header_offset + header_size,
            header_bytes.begin());
  const BootHeader header = decode_boot_header(header_bytes);
  check(header.header_crc == compute_header_crc(header_bytes));

  const struct {
    const ImageDescriptor& d;
    const Bytes& input;
    std::uint32_t load;
    std::int8_t status;
    std::int64_t offset;
  } apps[] = {{header.app1, app1, load1, status1, layout.app1_offset},
              {header.app2, app2, load2, status2, layout.app2_offset}};
  for (const auto& app : apps) {
    check(app.d.status == (app.status != 0 ? 1u : 0u));
    check(app.d.flags == (in_high_window(app.load) && app.status > 1 ? 0x8000u : 0u));
    check(app.d.offset == static_cast<std::uint32_t>(app.offset));
    check(app.d.size == app.input.size());
    check(app.d.load_addr == app.load);
    check(app.d.crc == crc32_feed(0, app.input.data(), app.input.size()));
    Bytes stored(image.begin() + app.offset,
                 image.begin() + app.offset + static_cast<std::int64_t>(app.input.size()));
    if (in_high_window(app.load)) {
      reverse_word_bytes(stored.data(), stored.size());
    }
    check(stored == app.input);
  }
  const std::size_t boot_shown = std::min<std::size_t>(boot.size(), header_offset);
  check(std::equal(boot.begin(), boot.begin() + static_cast<long>(boot_shown), image.begin()));
  return 0;
}
