#include "image/compose.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/fail.h"
#include "image/crc32.h"
#include "image/regions.h"

// On Linux on x86-64 a second thread writes each stretch while the next ones are made, in turns
// through this many buffers. Elsewhere one buffer does: MinGW's threads are not the C++
// library's, and the arm64 build ships the one-thread composition its tests run under QEMU.
#if defined(__linux__) && defined(__x86_64__)
#define VELMORA_WRITER_THREAD 1
#include <atomic>
#include <semaphore>
#include <system_error>
#include <thread>
constexpr std::int64_t stretch_buffers = 4;
#else
#define VELMORA_WRITER_THREAD 0
constexpr std::int64_t stretch_buffers = 1;
#endif

PlanRefusal plan_image(const RunArgs& args, const ImageInputs& inputs, ImagePlan& plan,
                       int& refused_input) {
  for (int i = 0; i < 3; ++i) {
    if (inputs.sources[i].length > max_file_length) {
      refused_input = i;
      return PlanRefusal::input_too_long;
    }
  }
  plan = ImagePlan{};
  plan.layout = plan_layout(inputs.sources[1].length, inputs.sources[2].length);
  if (plan.layout.length > max_file_length) {
    return PlanRefusal::image_too_large;
  }
  // A bootloader runs on into the regions after its own, but never past the image.
  if (inputs.sources[0].length > plan.layout.length) {
    return PlanRefusal::bootloader_too_long;
  }
  plan.header.app1 = describe_application(args.load_addr1, args.status1);
  plan.header.app2 = describe_application(args.load_addr2, args.status2);
  plan.header.app1.offset = static_cast<std::uint32_t>(plan.layout.app1_offset);
  plan.header.app1.size = static_cast<std::uint32_t>(plan.layout.app1_size);
  plan.header.app2.offset = static_cast<std::uint32_t>(plan.layout.app2_offset);
  plan.header.app2.size = static_cast<std::uint32_t>(plan.layout.app2_size);
  return PlanRefusal::none;
}

// A bootloader longer than its region runs on into the following ones, under each
// application's bytes and the header's (written last).
bool make_stretch(const ImagePlan& plan, const ImageInputs& inputs, std::int64_t start,
                  std::int64_t end, std::uint8_t* stretch, Checksums& sums, ReadFailure& failure) {
  const std::int64_t boot_length = inputs.sources[0].length;
  const std::int64_t boot_end = std::min(end, boot_length);
  if (start < boot_end &&
      !read_source(inputs.sources[0], start, stretch, boot_end - start, failure.error)) {
    failure.input = 0;
    return false;
  }
  const ImageRegions regions = image_regions(plan.header);
  for (std::size_t i = 0; i < region_count; ++i) {
    const RegionSpan& r = regions[i];
    const int app = i == app1_region ? 0 : i == app2_region ? 1 : -1;
    const std::int64_t from = std::max({start, r.offset, app < 0 ? boot_length : start});
    const std::int64_t to = std::min(end, r.end);
    if (from >= to) {
      continue;
    }
    std::uint8_t* place = stretch + (from - start);
    const auto count = static_cast<std::size_t>(to - from);
    if (app < 0) {
      std::memset(place, 0xFF, count);
      continue;
    }
    if (!read_source(inputs.sources[app + 1], from - r.offset, place, to - from, failure.error)) {
      failure.input = app + 1;
      return false;
    }
    sums.app[app] = crc32_feed(sums.app[app], place, count);
    if (r.reversed) {
      reverse_word_bytes(place, count);
    }
  }
  return true;
}

bool inputs_ended(const ImageInputs& inputs, ReadFailure& failure) {
  for (int i = 0; i < 3; ++i) {
    if (!source_ends_at_length(inputs.sources[i], failure.error)) {
      failure.input = i;
      return false;
    }
  }
  return true;
}

HeaderBytes finish_header(ImagePlan& plan, const Checksums& sums) {
  plan.header.app1.crc = sums.app[0];
  plan.header.app2.crc = sums.app[1];
  HeaderBytes encoded = encode_boot_header(plan.header);
  plan.header.header_crc = compute_header_crc(encoded);
  put_le32(encoded.data(), header_crc_field, plan.header.header_crc);
  return encoded;
}

void start_composition(const RunArgs& args, Composition& c) {
  const char* paths[3] = {args.src1, args.src2, args.src3};
  bool opened[3] = {false, false, false};
  std::string error;
  for (int i = 0; i < 3; ++i) {
    // A file that cannot be opened counts 0 bytes until the refusals below have had their say.
    opened[i] = open_read_file(paths[i], c.files[i], error);
    c.inputs.sources[i] = opened[i] ? file_source(c.files[i]) : ByteSource{};
  }
  int refused = 0;
  switch (plan_image(args, c.inputs, c.plan, refused)) {
    case PlanRefusal::none:
      break;
    case PlanRefusal::input_too_long:
      fail_bad_length(paths[refused]);
    case PlanRefusal::image_too_large:
      fail_and_wait(exit_image_too_large,
                    "\nThe image would be 2 GiB or larger: APP1 %s and APP2 %s are too long \n",
                    args.src2, args.src3);
    case PlanRefusal::bootloader_too_long:
      fail_and_wait(exit_bootloader_too_long, "\nThe bootloader is longer than the image: %s \n",
                    args.src1);
  }
  // On a page boundary: the copies into and out of the page cache run about twice as fast from
  // there as from 16 bytes past one, where malloc puts a block of this size.
  c.stretch_block =
      std::malloc(static_cast<std::size_t>(stretch_size * stretch_buffers + page_size));
  if (c.stretch_block == nullptr) {
    fail_and_wait(exit_no_memory, "malloc memory fail !\n");
  }
  const auto past_page = reinterpret_cast<std::uintptr_t>(c.stretch_block) % page_size;
  c.stretch = static_cast<std::uint8_t*>(c.stretch_block) + (page_size - past_page);
  for (int i = 0; i < 3; ++i) {
    if (!opened[i]) {
      fail_cannot_open(paths[i]);
    }
  }
}

namespace {

// Stretch k: where it lies in the image and the buffer it is made in.
struct Stretch {
  std::int64_t start;
  std::int64_t end;
  std::uint8_t* bytes;
};

Stretch stretch_at(const Composition& c, std::int64_t k) {
  const std::int64_t start = k * stretch_size;
  return {start, std::min(start + stretch_size, c.plan.layout.length),
          c.stretch + (k % stretch_buffers) * stretch_size};
}

#if VELMORA_WRITER_THREAD

// Each stretch takes a free buffer; the writer writes them in order and frees each buffer as
// it goes.
struct StretchWriter {
  std::counting_semaphore<> free{stretch_buffers};
  std::counting_semaphore<> made{0};
  std::atomic<bool> read_failed{false};   // no more stretches will come
  std::atomic<bool> write_failed{false};  // the writer has stopped
};

void write_stretches(StretchWriter& w, const Composition& c, OutputFile& out) {
  for (std::int64_t k = 0; k * stretch_size < c.plan.layout.length; ++k) {
    w.made.acquire();
    if (w.read_failed) {
      return;
    }
    const Stretch s = stretch_at(c, k);
    w.write_failed = !write_output_at(out, s.start, s.bytes, s.end - s.start);
    w.free.release();
    if (w.write_failed) {
      return;
    }
  }
}

// Makes every stretch and hands it to the writer, until an input cannot be read (`failure`);
// false when a write failed.
bool make_and_write_overlapped(Composition& c, StretchWriter& w, std::thread& writer,
                               Checksums& sums, ReadFailure& failure) {
  for (std::int64_t k = 0; k * stretch_size < c.plan.layout.length; ++k) {
    w.free.acquire();
    if (w.write_failed) {
      break;
    }
    const Stretch s = stretch_at(c, k);
    w.read_failed = !make_stretch(c.plan, c.inputs, s.start, s.end, s.bytes, sums, failure);
    w.made.release();
    if (w.read_failed) {
      break;
    }
  }
  writer.join();
  return !w.write_failed;
}

#endif

// Makes each stretch and writes it, until an input cannot be read (`failure`); false when a
// write failed.
bool make_and_write(Composition& c, OutputFile& out, Checksums& sums, ReadFailure& failure) {
#if VELMORA_WRITER_THREAD
  // A thread costs more than it saves until the buffers take turns. Where the system gives
  // none (a process or address space limit), the stretches are written in turn below.
  StretchWriter w;
  std::thread writer;
  try {
    if (c.plan.layout.length > stretch_size * stretch_buffers) {
      writer = std::thread(write_stretches, std::ref(w), std::cref(c), std::ref(out));
    }
  } catch (const std::system_error&) {
  }
  if (writer.joinable()) {
    return make_and_write_overlapped(c, w, writer, sums, failure);
  }
#endif
  for (std::int64_t k = 0; k * stretch_size < c.plan.layout.length; ++k) {
    const Stretch s = stretch_at(c, k);  // all in the first buffer
    if (!make_stretch(c.plan, c.inputs, s.start, s.end, c.stretch, sums, failure)) {
      return true;
    }
    if (!write_output_at(out, s.start, c.stretch, s.end - s.start)) {
      return false;
    }
  }
  return true;
}

}  // namespace

void compose_download_image(Composition& c, OutputFile& out) {
  Checksums sums;
  ReadFailure failure;
  // Room for the whole image first: a full disk then ends the run before any input is read,
  // and on Linux the writes that follow, into room already given, take less system time.
  reserve_output_or_fail(out, c.plan.layout.length);
  if (!make_and_write(c, out, sums, failure)) {
    discard_output_file(out);
    fail_cannot_write(out.path.c_str());
  }
  if (failure.input >= 0 || !inputs_ended(c.inputs, failure)) {
    discard_output_file(out);
    fail_cannot_read(c.files[failure.input].path.c_str());
  }
  const HeaderBytes header = finish_header(c.plan, sums);
  write_output_or_fail(out, header_offset, header.data(), std::int64_t{header_size});
  std::free(c.stretch_block);
  c.stretch_block = nullptr;
  c.stretch = nullptr;
  // An input that is also the output must be closed before the output takes its place.
  for (ReadFile& file : c.files) {
    close_read_file(file);
  }
  finish_output_or_fail(out);
}
