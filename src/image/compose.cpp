#include "image/compose.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if VELMORA_WRITER_THREAD
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#endif

#include "common/fail.h"
#include "image/crc32.h"
#include "image/regions.h"
#include "image/word_reverse.h"

namespace {

std::size_t as_size(std::int64_t n) {
  return static_cast<std::size_t>(n);
}

// Sets to 0xFF the bytes of the image range [from, to) that lie in the stretch [start, end)
// and that the bootloader, which covers [0, boot_length), does not reach.
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
bool place_application(const RegionSpan& app, const ByteSource& source, std::uint8_t* stretch,
                       std::int64_t start, std::int64_t end, std::uint32_t& crc,
                       std::string& error) {
  const std::int64_t from = std::max(start, app.offset);
  const std::int64_t to = std::min(end, app.end);
  if (from >= to) {
    return true;
  }
  std::uint8_t* place = stretch + (from - start);
  if (!read_source(source, from - app.offset, place, to - from, error)) {
    return false;
  }
  crc = crc32_feed(crc, place, as_size(to - from));
  if (app.reversed) {
    reverse_word_bytes(place, as_size(to - from));
  }
  return true;
}

}  // namespace

PlanRefusal plan_image(const RunArgs& args, const ImageInputs& inputs, ImagePlan& plan,
                       int& refused_input) {
  for (int i = 0; i < 3; ++i) {
    if (inputs.sources[i].length > max_file_length) {
      refused_input = i;
      return PlanRefusal::input_too_long;
    }
  }
  plan = ImagePlan{};
  plan.boot_length = inputs.sources[0].length;
  plan.layout = plan_layout(inputs.sources[1].length, inputs.sources[2].length);
  if (plan.layout.length > max_file_length) {
    return PlanRefusal::image_too_large;
  }
  // A bootloader runs on into the regions after its own, but never past the image.
  if (plan.boot_length > plan.layout.length) {
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

// A bootloader longer than its region runs on into the following ones, and what comes later
// wins: each application over its own bytes, the header over its 256 (written last). Every
// byte nothing covers is 0xFF.
bool make_stretch(const ImagePlan& plan, const ImageInputs& inputs, std::int64_t start,
                  std::int64_t end, std::uint8_t* stretch, Checksums& sums, ReadFailure& failure) {
  const std::int64_t boot_length = plan.boot_length;
  if (start < boot_length && !read_source(inputs.sources[0], start, stretch,
                                          std::min(end, boot_length) - start, failure.error)) {
    failure.input = 0;
    return false;
  }
  // The header's region is filled too: its bytes are written last, over the fill.
  const ImageRegions regions = image_regions(plan.header);
  for (std::size_t i = 0; i < region_count; ++i) {
    if (i != app1_region && i != app2_region) {
      fill_gap(stretch, start, end, regions[i].offset, regions[i].end, boot_length);
      continue;
    }
    const int app = i == app1_region ? 0 : 1;
    if (!place_application(regions[i], inputs.sources[app + 1], stretch, start, end, sums.app[app],
                           failure.error)) {
      failure.input = app + 1;
      return false;
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
  // On a page boundary, as the system's own pages are: the copies into and out of the page
  // cache then run about twice as fast as from a buffer 16 bytes past one, where malloc puts a
  // block of this size.
  c.stretch_block = std::malloc(as_size(stretch_size * stretch_buffers + page_size));
  c.stretch = c.stretch_block == nullptr
                  ? nullptr
                  : static_cast<std::uint8_t*>(c.stretch_block) +
                        (page_size - static_cast<std::int64_t>(
                                         reinterpret_cast<std::uintptr_t>(c.stretch_block) %
                                         static_cast<std::uintptr_t>(page_size)));
  if (c.stretch == nullptr) {
    fail_and_wait(exit_no_memory, "malloc memory fail !\n");
  }
  for (int i = 0; i < 3; ++i) {
    if (!opened[i]) {
      fail_cannot_open(paths[i]);
    }
  }
}

#if VELMORA_WRITER_THREAD
namespace {

// The stretches go to the output on a second thread, so that the system's copying of one
// stretch into the output overlaps the reading, checksumming and reversal of the next: the
// image is then made in about the time the system takes to write it. The stretches take turns
// in stretch_buffers buffers; stretch k lies at offset k * stretch_size.
struct StretchWriter {
  OutputFile* out = nullptr;
  std::uint8_t* buffers = nullptr;
  std::int64_t length = 0;  // L
  std::mutex lock;
  std::condition_variable changed;
  std::int64_t made = 0;     // stretches ready to be written
  std::int64_t written = 0;  // stretches written
  bool stop = false;         // no more stretches will come
  bool failed = false;       // a write failed
};

void write_stretches(StretchWriter& w) {
  for (;;) {
    std::int64_t next = 0;
    {
      std::unique_lock<std::mutex> hold(w.lock);
      w.changed.wait(hold, [&] { return w.written < w.made || w.stop; });
      if (w.written == w.made) {
        return;
      }
      next = w.written;
    }
    const std::int64_t start = next * stretch_size;
    const std::int64_t count = std::min(stretch_size, w.length - start);
    const bool ok =
        write_output_at(*w.out, start, w.buffers + (next % stretch_buffers) * stretch_size, count);
    std::lock_guard<std::mutex> hold(w.lock);
    w.failed = w.failed || !ok;
    w.written = next + 1;
    if (!ok) {
      w.stop = true;
    }
    w.changed.notify_all();
  }
}

// Makes every stretch and hands it to the writer; false when an input could not be read or a
// write failed (`write_failed` tells which). `started` is false, and nothing was done, when
// the system gives no thread (a process or address space limit).
bool make_and_write_overlapped(Composition& c, OutputFile& out, Checksums& sums,
                               ReadFailure& failure, bool& write_failed, bool& started) {
  StretchWriter w;
  w.out = &out;
  w.buffers = c.stretch;
  w.length = c.plan.layout.length;
  std::thread writer;
  try {
    writer = std::thread(write_stretches, std::ref(w));
  } catch (const std::system_error&) {
    started = false;
    return false;
  }
  started = true;
  bool read = true;
  for (std::int64_t k = 0; read && k * stretch_size < w.length; ++k) {
    {
      // A buffer is free once the stretch that last held it is written.
      std::unique_lock<std::mutex> hold(w.lock);
      w.changed.wait(hold, [&] { return k - w.written < stretch_buffers || w.failed; });
      if (w.failed) {
        break;
      }
    }
    const std::int64_t start = k * stretch_size;
    const std::int64_t end = std::min(start + stretch_size, w.length);
    read = make_stretch(c.plan, c.inputs, start, end,
                        c.stretch + (k % stretch_buffers) * stretch_size, sums, failure);
    std::lock_guard<std::mutex> hold(w.lock);
    w.made += read ? 1 : 0;
    w.changed.notify_all();
  }
  {
    std::lock_guard<std::mutex> hold(w.lock);
    w.stop = true;
    w.changed.notify_all();
  }
  writer.join();
  write_failed = w.failed;
  return read && !w.failed;
}

}  // namespace
#endif

namespace {

// Makes each stretch and writes it, one after the other; false when an input could not be read
// or a write failed (`write_failed` tells which).
bool make_and_write(Composition& c, OutputFile& out, Checksums& sums, ReadFailure& failure,
                    bool& write_failed) {
#if VELMORA_WRITER_THREAD
  // A thread costs more than it saves until the buffers take turns.
  if (c.plan.layout.length > stretch_size * stretch_buffers) {
    bool started = false;
    const bool made = make_and_write_overlapped(c, out, sums, failure, write_failed, started);
    if (started) {
      return made;
    }
  }
#endif
  for (std::int64_t start = 0; start < c.plan.layout.length; start += stretch_size) {
    const std::int64_t end = std::min(start + stretch_size, c.plan.layout.length);
    if (!make_stretch(c.plan, c.inputs, start, end, c.stretch, sums, failure)) {
      return false;
    }
    if (!write_output_at(out, start, c.stretch, end - start)) {
      write_failed = true;
      return false;
    }
  }
  return true;
}

}  // namespace

void compose_download_image(Composition& c, OutputFile& out) {
  Checksums sums;
  ReadFailure failure;
  bool write_failed = false;
  // Room for the whole image first: a full disk then ends the run before any input is read,
  // and on Linux the writes that follow, into room already given, take less system time.
  reserve_output_or_fail(out, c.plan.layout.length);
  if (!make_and_write(c, out, sums, failure, write_failed) && write_failed) {
    discard_output_file(out);
    fail_cannot_write(out.path.c_str());
  }
  if (failure.input >= 0 || !inputs_ended(c.inputs, failure)) {
    discard_output_file(out);
    fail_cannot_read(c.files[failure.input].path.c_str());
  }
  const HeaderBytes header = finish_header(c.plan, sums);
  write_output_or_fail(out, header_offset, header.data(), std::int64_t{header_size});
  // An input that is also the output must be closed before the output takes its place.
  for (ReadFile& file : c.files) {
    close_read_file(file);
  }
  finish_output_or_fail(out);
}

void end_composition(Composition& c) {
  std::free(c.stretch_block);
  c.stretch_block = nullptr;
  c.stretch = nullptr;
  for (ReadFile& file : c.files) {
    close_read_file(file);
  }
}
