#include "inspect/inspect.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "cli/run.h"
#include "image/crc32.h"
#include "image/layout.h"

Stretch stretches(const ByteSource& source, std::int64_t from, std::int64_t to, bool reversed) {
  const std::int64_t words = (std::max<std::int64_t>(to - from, 0) + 3) / 4 * 4;
  Stretch st{&source, from, to, reversed, {}, 0};
  st.bytes.resize(static_cast<std::size_t>(std::min(words, stretch_bytes)));
  return st;
}

bool next_stretch(Stretch& st, std::string& error, std::int64_t most) {
  const std::int64_t words = st.reversed ? (most + 3) / 4 * 4 : most;
  st.n = std::min({words, st.end - st.at, static_cast<std::int64_t>(st.bytes.size())});
  if (st.n <= 0 || !read_source(*st.source, st.at, st.bytes.data(), st.n, error)) {
    return false;
  }
  st.at += st.n;
  if (st.reversed) {
    reverse_word_bytes(st.bytes.data(), static_cast<std::size_t>(st.n));
  }
  return true;
}

bool read_header(const ByteSource& source, HeaderBytes& bytes, std::string& error) {
  return source.length < header_end ||
         read_source(source, header_offset, bytes.data(), std::int64_t{header_size}, error);
}

bool flag_allowed(const ImageDescriptor& d) {
  // Status 1 stands for any non-zero raw status; 2 is the smallest raw status that the flag
  // rule rewards, so the rule itself says whether this load address could carry the flag.
  return d.status == 1 && describe_application(d.load_addr, 2).flags == flag_high_window_status;
}

namespace {

// The bytes of [from, to) that are not 0xFF, by image offset.
bool find_not_fill(const ByteSource& image, std::int64_t from, std::int64_t to, Mismatch& found,
                   std::string& error) {
  static const std::vector<std::uint8_t> fill(static_cast<std::size_t>(stretch_bytes), 0xFF);
  found = Mismatch{};
  Stretch st = stretches(image, from, to);
  while (next_stretch(st, error)) {
    note_differences(st.bytes.data(), fill.data(), st.n, st.at - st.n, found);
  }
  return st.at >= st.end;
}

// The first bytes of [offset, offset + size) (format_probe_bytes at most), words turned back
// where `reversed`: enough to tell a file that is not a raw binary.
bool read_start(const ByteSource& image, std::int64_t offset, std::int64_t size, bool reversed,
                std::string& start, std::string& error) {
  Stretch st =
      stretches(image, offset, offset + std::min<std::int64_t>(size, format_probe_bytes), reversed);
  next_stretch(st, error);
  start.assign(st.bytes.data(), st.bytes.data() + st.n);
  return st.at >= st.end;
}

// Where an application's bytes end in the image and its load range ends: the fields are 32-bit,
// so 64 bits hold the sums however the fields were forged.
std::int64_t app_end(const ImageDescriptor& d) {
  return std::int64_t{d.offset} + std::int64_t{d.size};
}

std::int64_t load_end(const ImageDescriptor& d) {
  return std::int64_t{d.load_addr} + std::int64_t{d.size};
}

// An application's facts, from its bytes and its fill as the region table lays them out.
bool read_app(const ImageDescriptor& d, const RegionSpan& bytes, const RegionSpan& fill,
              const ByteSource& image, AppFacts& app, std::string& error) {
  app.stored = d;
  app.in_file = bytes.end <= image.length;
  if (!app.in_file || !read_start(image, bytes.offset, d.size, bytes.reversed, app.start, error)) {
    return !app.in_file;  // an application past the file's end has no bytes to read
  }
  // The checksum is over the bytes as composed: each stretch starts on a word of the
  // application, so turning it back turns whole words back.
  Stretch st = stretches(image, bytes.offset, bytes.end, bytes.reversed);
  while (next_stretch(st, error)) {
    app.computed_crc =
        crc32_feed(app.computed_crc, st.bytes.data(), static_cast<std::size_t>(st.n));
  }
  // The fill, as far as the file holds it: a page cut short is file_length's.
  return st.at >= st.end &&
         find_not_fill(image, fill.offset, std::min(fill.end, image.length), app.padding, error);
}

// What a check reads: the file's length alone, the header and what it lays out, an
// application's bytes, a read-back's tail, or the inputs of --against (only there).
enum class Needs : std::uint8_t { length, header, app_bytes, readback, inputs };

// Every check, in the report's order. The warnings come after the checks that fail, so that
// the older checks keep their places in the list.
// clang-format off
enum class Check : std::uint8_t {
  min_length, header_crc, header_reserved,
  app1_status, app1_flags, app1_offset, app1_in_file, app1_crc, app1_padding,
  app2_status, app2_flags, app2_offset, app2_in_file, app2_crc, app2_padding,
  file_length, bootloader_size, app1_load_addr, app2_load_addr, app1_size, app2_size, active_app,
  bootloader_input, app1_swapped, app2_swapped, load_overlap, app1_load_window, app2_load_window,
  bootloader_format, app1_format, app2_format, app1_invalid, app2_invalid, readback_tail, count
};
// clang-format on

struct CheckInfo {
  const char* name;  // stable, also in the JSON report
  Verdict if_not;    // the verdict when it does not hold: fail or warn
  Needs needs;
  bool app2;       // it looks at APP2 (else at APP1, or at neither)
  bool on_inputs;  // --against judges it on the inputs and the header velmora writes from them
  bool silent;     // listed only where it does not hold: a sound image's report keeps its checks
};

// clang-format off
constexpr CheckInfo check_table[] = {
    // name               if_not         needs             app2   on_inputs silent
    {"min_length",        Verdict::fail, Needs::length,    false, false,    false},
    {"header_crc",        Verdict::fail, Needs::header,    false, false,    false},
    {"header_reserved",   Verdict::fail, Needs::header,    false, false,    false},
    {"app1_status",       Verdict::fail, Needs::header,    false, false,    false},
    {"app1_flags",        Verdict::fail, Needs::header,    false, false,    false},
    {"app1_offset",       Verdict::fail, Needs::header,    false, false,    false},
    {"app1_in_file",      Verdict::fail, Needs::header,    false, false,    false},
    {"app1_crc",          Verdict::fail, Needs::app_bytes, false, false,    false},
    {"app1_padding",      Verdict::warn, Needs::app_bytes, false, false,    false},
    {"app2_status",       Verdict::fail, Needs::header,    true,  false,    false},
    {"app2_flags",        Verdict::fail, Needs::header,    true,  false,    false},
    {"app2_offset",       Verdict::fail, Needs::header,    true,  false,    false},
    {"app2_in_file",      Verdict::fail, Needs::header,    true,  false,    false},
    {"app2_crc",          Verdict::fail, Needs::app_bytes, true,  false,    false},
    {"app2_padding",      Verdict::warn, Needs::app_bytes, true,  false,    false},
    {"file_length",       Verdict::fail, Needs::header,    false, false,    false},
    {"bootloader_size",   Verdict::warn, Needs::header,    false, false,    false},
    {"app1_load_addr",    Verdict::warn, Needs::header,    false, false,    false},
    {"app2_load_addr",    Verdict::warn, Needs::header,    true,  false,    false},
    {"app1_size",         Verdict::warn, Needs::header,    false, false,    false},
    {"app2_size",         Verdict::warn, Needs::header,    true,  false,    false},
    {"active_app",        Verdict::warn, Needs::header,    false, false,    false},
    {"bootloader_input",  Verdict::warn, Needs::inputs,    false, true,     false},
    {"app1_swapped",      Verdict::warn, Needs::inputs,    false, true,     false},
    {"app2_swapped",      Verdict::warn, Needs::inputs,    true,  true,     false},
    {"load_overlap",      Verdict::warn, Needs::header,    false, true,     false},
    {"app1_load_window",  Verdict::warn, Needs::header,    false, true,     false},
    {"app2_load_window",  Verdict::warn, Needs::header,    true,  true,     false},
    {"bootloader_format", Verdict::warn, Needs::length,    false, true,     true},
    {"app1_format",       Verdict::warn, Needs::header,    false, true,     true},
    {"app2_format",       Verdict::warn, Needs::header,    true,  true,     true},
    {"app1_invalid",      Verdict::warn, Needs::header,    false, true,     true},
    {"app2_invalid",      Verdict::warn, Needs::header,    true,  true,     true},
    {"readback_tail",     Verdict::fail, Needs::readback,  false, false,    false},
};
// clang-format on
static_assert(std::size(check_table) == static_cast<std::size_t>(Check::count));

const CheckInfo& info(Check c) {
  return check_table[static_cast<std::size_t>(c)];
}

CheckResult outcome(Check c, Verdict verdict, std::string detail) {
  return {info(c).name, verdict, std::move(detail)};
}

// A check that holds passes; one that does not gets its row's verdict.
CheckResult judge(Check c, bool holds, std::string pass_text, std::string fail_text) {
  return holds ? outcome(c, Verdict::pass, std::move(pass_text))
               : outcome(c, info(c).if_not, std::move(fail_text));
}

// The noun and the verb for a count of bytes.
const char* bytes(std::int64_t count) {
  return count == 1 ? "byte" : "bytes";
}
const char* are(std::int64_t count) {
  return count == 1 ? "is" : "are";
}

// The one place where a check is judged, on the facts of `r` (and of `in` for --against).
CheckResult run_check(Check c, const InspectReport& r, const InputFacts& in) {
  const AppFacts& app = info(c).app2 ? r.app2 : r.app1;
  const ImageDescriptor& d = app.stored;
  if (info(c).needs == Needs::app_bytes && !app.in_file) {
    return outcome(c, Verdict::skip, "the application is not within the file");
  }
  switch (c) {
    case Check::min_length:
      return judge(c, r.length >= app1_offset,
                   "the file holds the bootloader region and the header page",
                   r.length == 0 ? "the file is empty"
                                 : format_text("the file is only 0x%llx bytes long; the "
                                               "bootloader region and the header page take 0x%llx",
                                               as_ull(r.length), as_ull(app1_offset)));
    case Check::header_crc:
      return judge(c, r.header.header_crc == r.computed_header_crc, "the header CRC matches",
                   format_text("the header CRC is 0x%08x but the header's bytes give 0x%08x",
                               r.header.header_crc, r.computed_header_crc));
    case Check::header_reserved: {
      const Mismatch found = reserved_mismatch(r.header_bytes, HeaderBytes{});
      // %llu rather than %zu: the Windows C runtime does not know the z length.
      return judge(c, found.count == 0, "the reserved header bytes are zero",
                   format_text("%llu reserved header %s %s not zero, the first at header "
                               "offset 0x%02llx",
                               as_ull(found.count), bytes(found.count), are(found.count),
                               as_ull(found.first)));
    }
    case Check::app1_status:
    case Check::app2_status:
      return judge(
          c, d.status <= 1, "the status is 0 or 1",
          format_text("the status is 0x%08x, neither 0 (invalid) nor 1 (active)", d.status));
    case Check::app1_flags:
    case Check::app2_flags: {
      const bool other_bits = (d.flags & ~flag_high_window_status) != 0;
      return judge(c, !other_bits && (d.flags == 0 || flag_allowed(d)),
                   d.flags == 0 ? "no flag bit is set"
                                : "the flag bit is set, as allowed for an active application in "
                                  "the high window",
                   other_bits ? format_text("the flags 0x%08x hold bits other than 0x%08x", d.flags,
                                            flag_high_window_status)
                              : "the flag bit is set, but only an active application in the "
                                "high window can carry it");
    }
    case Check::app1_offset:
      return judge(
          c, d.offset == app1_offset, "APP1 starts right after the header page",
          format_text("APP1's offset is 0x%08x, not 0x%08llx", d.offset, as_ull(app1_offset)));
    case Check::app2_offset: {
      const std::int64_t expected = plan_layout(r.app1.stored.size, d.size).app2_offset;
      return judge(c, d.offset == expected, "APP2 starts right after APP1's last page",
                   format_text("APP2's offset is 0x%08x, but APP1's last page ends at 0x%08llx",
                               d.offset, as_ull(expected)));
    }
    case Check::app1_in_file:
    case Check::app2_in_file:
      return judge(c, app.in_file, "the application lies within the file",
                   format_text("offset 0x%08x plus size 0x%08x ends at 0x%llx, past the end of "
                               "the file at 0x%llx",
                               d.offset, d.size, as_ull(app_end(d)), as_ull(r.length)));
    case Check::app1_crc:
    case Check::app2_crc:
      return judge(c, d.crc == app.computed_crc, "the application's CRC matches",
                   format_text("the stored CRC is 0x%08x but the application's bytes give 0x%08x",
                               d.crc, app.computed_crc));
    case Check::app1_padding:
    case Check::app2_padding:
      return judge(c, app.padding.count == 0, "the rest of the application's last page is 0xFF",
                   format_text("%lld %s after the application in its last page %s not 0xFF, "
                               "the first at 0x%08llx (a long bootloader may have run on there)",
                               static_cast<long long>(app.padding.count), bytes(app.padding.count),
                               are(app.padding.count), as_ull(app.padding.first)));
    case Check::file_length: {
      const std::int64_t expected = plan_layout(r.app1.stored.size, r.app2.stored.size).length;
      return judge(c, r.length == expected, "the file length agrees with the application sizes",
                   format_text("the file is 0x%llx bytes long, but the application sizes make "
                               "0x%llx",
                               as_ull(r.length), as_ull(expected)));
    }
    case Check::bootloader_size:
      return judge(c, r.page_rest.count == 0, "the header page after the header is 0xFF",
                   format_text("%lld %s of the header page after the header %s not 0xFF, the "
                               "first at 0x%08llx: the bootloader is longer than its 0x%llx-byte "
                               "region (were the bootloader and APP1 swapped?)",
                               static_cast<long long>(r.page_rest.count), bytes(r.page_rest.count),
                               are(r.page_rest.count), as_ull(r.page_rest.first),
                               as_ull(bootloader_region_size)));
    // velmora asks for sector-aligned load addresses; one that is not is most often a status
    // typed in the address's place, or a typo that the lenient value rule read anyway.
    case Check::app1_load_addr:
    case Check::app2_load_addr:
      return judge(c, d.load_addr % page_size == 0, "the load address is a multiple of 0x1000",
                   format_text("the load address 0x%08x is not a multiple of 0x%llx "
                               "(sector-aligned): a typo, or the status and the load address "
                               "swapped?",
                               d.load_addr, as_ull(page_size)));
    case Check::app1_size:
    case Check::app2_size:
      return judge(c, d.size != 0, "the application is not empty",
                   "the application is empty (size 0)");
    case Check::active_app:
      return judge(c, r.app1.stored.status == 1 || r.app2.stored.status == 1,
                   "at least one application is active",
                   "no application is active: there is nothing to start");
    // The header always replaces the bootloader's bytes under it; past the header page they lie
    // under APP1 and the fills, where only the fills keep them.
    case Check::bootloader_input: {
      const std::int64_t length = in.bootloader_length;
      std::string detail = format_text(
          "the bootloader is 0x%llx bytes, longer than its 0x%llx-byte region: the header "
          "replaces its bytes 0x%llx-0x%llx",
          as_ull(length), as_ull(bootloader_region_size), as_ull(header_offset),
          as_ull(std::min(length, header_end) - 1));
      if (length > header_end) {
        detail += format_text(", and its bytes 0x%llx-0x%llx run on into the header page%s",
                              as_ull(header_end), as_ull(length - 1),
                              length > app1_offset ? " and beyond, where APP1 and APP2 replace "
                                                     "what they cover"
                                                   : "");
      }
      return judge(c, length <= bootloader_region_size, "the bootloader fits its region", detail);
    }
    // A status typed in the load address's place: the address is a small number and the status
    // word a large one, of which velmora keeps only the low 8 bits.
    case Check::app1_swapped:
    case Check::app2_swapped: {
      const std::uint32_t word = in.words[info(c).app2 ? 1 : 0];
      return judge(
          c, d.load_addr >= 0x100 || word <= 0xFF,
          "the load address and the status word are not swapped",
          format_text("the load address 0x%08x is below 0x100 and the status word "
                      "0x%08x above 0xFF, of which velmora keeps 0x%02x (%s): the load "
                      "address and the status swapped?",
                      d.load_addr, word, word & 0xFFu, (word & 0xFFu) != 0 ? "active" : "invalid"));
    }
    // Applications loaded into the same memory overwrite each other on the device.
    case Check::load_overlap: {
      const ImageDescriptor& a = r.app1.stored;
      const ImageDescriptor& b = r.app2.stored;
      const std::int64_t from = std::max<std::int64_t>(a.load_addr, b.load_addr);
      const std::int64_t to = std::min(load_end(a), load_end(b));
      return judge(c, a.size == 0 || b.size == 0 || from >= to,
                   "the load ranges of APP1 and APP2 do not overlap",
                   format_text("APP1's load range 0x%08x-0x%08llx and APP2's 0x%08x-0x%08llx "
                               "overlap at 0x%08llx-0x%08llx: one overwrites the other when "
                               "loaded",
                               a.load_addr, as_ull(load_end(a) - 1), b.load_addr,
                               as_ull(load_end(b) - 1), as_ull(from), as_ull(to - 1)));
    }
    // The window is chosen by the load address alone: an application that starts below
    // 0x11000000 and runs past it is stored as is, its part in the high window too.
    case Check::app1_load_window:
    case Check::app2_load_window:
      return judge(
          c, d.load_addr >= high_window_start || load_end(d) <= std::int64_t{high_window_start},
          "the load range does not cross 0x11000000",
          format_text("the load range 0x%08x-0x%08llx crosses 0x%08x: its 0x%llx bytes "
                      "from there on are in the high window but stored as is, not "
                      "word-reversed",
                      d.load_addr, as_ull(load_end(d) - 1), high_window_start,
                      as_ull(load_end(d) - std::int64_t{high_window_start})));
    case Check::readback_tail: {
      const ReadbackFacts& rb = r.readback;
      if (!rb.end_known) {
        return outcome(c, Verdict::warn, rb.unknown_end);
      }
      const std::int64_t tail = rb.file_length - r.length;
      return judge(c, rb.tail.count == 0,
                   format_text("the 0x%llx bytes after the image's end at 0x%08llx are all 0xFF "
                               "(erased flash)",
                               as_ull(tail), as_ull(r.length)),
                   format_text("%lld of the 0x%llx bytes after the image's end at 0x%08llx %s "
                               "not 0xFF, the first at 0x%08llx",
                               static_cast<long long>(rb.tail.count), as_ull(tail),
                               as_ull(r.length), are(rb.tail.count), as_ull(rb.tail.first)));
    }
    // A program in another form, placed byte for byte: the device would be given the file itself.
    case Check::bootloader_format:
    case Check::app1_format:
    case Check::app2_format: {
      const bool boot = c == Check::bootloader_format;
      const std::string& start = boot ? r.boot_start : app.start;
      const char* format =
          non_binary_format(reinterpret_cast<const std::uint8_t*>(start.data()), start.size());
      return judge(c, format == nullptr, "it begins as a raw binary",
                   format_text("%s begins as %s, not a raw binary: velmora places files byte "
                               "for byte, so the device would be given the file itself; make "
                               "the raw binary first (objcopy -O binary)",
                               boot           ? "the bootloader"
                               : info(c).app2 ? "APP2"
                                              : "APP1",
                               format != nullptr ? format : ""));
    }
    case Check::app1_invalid:
    case Check::app2_invalid: {
      const ImageDescriptor& other = info(c).app2 ? r.app1.stored : r.app2.stored;
      const char* self = info(c).app2 ? "APP2" : "APP1";
      return judge(c, d.size == 0 || d.status != 0 || other.status != 1,
                   "it is active, empty, or the other application is not active",
                   format_text("%s holds 0x%x bytes but is marked invalid (status 0) while %s "
                               "is active: the bootloader will not start it; if that is "
                               "intended, accept it with --allow %s",
                               self, d.size, info(c).app2 ? "APP1" : "APP2", info(c).name));
    }
    case Check::count:
      break;
  }
  return outcome(c, Verdict::skip, "");
}

}  // namespace

std::vector<CheckResult> judge_checks(const InspectReport& r, const InputFacts* inputs) {
  std::vector<CheckResult> out;
  for (std::size_t i = 0; i < std::size(check_table); ++i) {
    const auto c = static_cast<Check>(i);
    const Needs needs = info(c).needs;
    if (inputs != nullptr
            ? !info(c).on_inputs
            : needs == Needs::inputs || (needs == Needs::readback && !r.readback.requested)) {
      continue;
    }
    CheckResult judged = inputs == nullptr &&
                                 (needs == Needs::header || needs == Needs::app_bytes) &&
                                 !r.header_present
                             ? outcome(c, Verdict::skip, "the header is not in the file")
                             : run_check(c, r, inputs != nullptr ? *inputs : InputFacts{});
    const bool failed = judged.verdict == Verdict::warn || judged.verdict == Verdict::fail;
    if (failed || (inputs == nullptr && !info(c).silent)) {
      out.push_back(std::move(judged));
    }
  }
  return out;
}

bool inspect_source(const ByteSource& dump, bool readback, InspectReport& report,
                    std::string& error) {
  InspectReport r;
  if (!read_header(dump, r.header_bytes, error)) {
    return false;
  }
  const BootHeader header = decode_boot_header(r.header_bytes);
  ByteSource image = dump;
  if (readback) {
    ReadbackFacts& rb = r.readback;
    rb.requested = true;
    rb.file_length = dump.length;
    const std::int64_t length = plan_layout(header.app1.size, header.app2.size).length;
    if (dump.length < header_end) {
      rb.unknown_end = "the header is not in the file, so the image's end is unknown";
    } else if (compute_header_crc(r.header_bytes) != header.header_crc) {
      rb.unknown_end =
          "the header is damaged (its CRC does not match), so the image's end is unknown: the "
          "whole file is judged as the image";
    } else if (length > dump.length) {
      rb.unknown_end = format_text(
          "the header's sizes make an image of 0x%llx bytes, longer than the file: "
          "the whole file is judged as the image",
          as_ull(length));
    }
    rb.end_known = rb.unknown_end.empty();
    image.length = rb.end_known ? length : dump.length;
    if (!find_not_fill(dump, image.length, dump.length, rb.tail, error)) {
      return false;
    }
  }
  // The facts, judged, and only then handed to `report`.
  r.length = image.length;
  r.header_present = image.length >= header_end;
  if (!read_start(image, bootloader_offset, std::min(bootloader_region_size, image.length), false,
                  r.boot_start, error)) {
    return false;
  }
  if (r.header_present) {
    r.header = header;
    r.computed_header_crc = compute_header_crc(r.header_bytes);
    const ImageRegions regions = image_regions(header);
    if (!find_not_fill(image, header_end, std::min(app1_offset, image.length), r.page_rest,
                       error) ||
        !read_app(header.app1, regions[app1_region], regions[app1_fill_region], image, r.app1,
                  error) ||
        !read_app(header.app2, regions[app2_region], regions[app2_fill_region], image, r.app2,
                  error)) {
      return false;
    }
  }
  r.checks = judge_checks(r, nullptr);
  report = std::move(r);
  return true;
}

bool judge_readback_tail(const ByteSource& dump, AgainstReport& report, std::string& error) {
  report.readback = true;
  if (dump.length <= report.expected_length) {
    return true;  // no tail; a short dump keeps its length difference
  }
  Mismatch tail;
  if (!find_not_fill(dump, report.expected_length, dump.length, tail, error)) {
    return false;
  }
  report.tail_bytes = dump.length - report.expected_length;
  std::vector<RegionDiff>& d = report.differences;
  const auto length = std::find_if(
      d.begin(), d.end(), [](const RegionDiff& x) { return x.kind == RegionKind::length; });
  if (length != d.end()) {  // a tail all 0xFF makes a row that is the same, and goes
    tail.first -= report.expected_length;
    *length = bytes_row("readback_tail", tail, report.expected_length);
    std::erase_if(d, [](const RegionDiff& x) { return x.same; });
  }
  return true;
}

bool against_warnings(const RunArgs& args, char* const* words, const ByteSource (&inputs)[3],
                      const InspectReport& image, AgainstReport& report, std::string& error) {
  // The descriptors velmora writes from these inputs, as far as the checks need them, and the
  // first bytes of each input.
  InspectReport velmora;
  velmora.app1.stored = describe_application(args.load_addr1, args.status1);
  velmora.app2.stored = describe_application(args.load_addr2, args.status2);
  velmora.app1.stored.size = static_cast<std::uint32_t>(report.input_lengths[1]);
  velmora.app2.stored.size = static_cast<std::uint32_t>(report.input_lengths[2]);
  std::string* starts[3] = {&velmora.boot_start, &velmora.app1.start, &velmora.app2.start};
  for (int i = 0; i < 3; ++i) {
    if (!read_start(inputs[i], 0, inputs[i].length, false, *starts[i], error)) {
      return false;
    }
  }
  const InputFacts facts{report.input_lengths[0],
                         {hex_arg_value(words[3]), hex_arg_value(words[6])}};
  std::vector<CheckResult> out = judge_checks(velmora, &facts);
  constexpr int numeric[4] = {2, 3, 5, 6};  // where the numbers stand among the seven words
  for (int i = 0; i < 4; ++i) {
    std::ranges::move(word_findings(i, words[numeric[i]]), std::back_inserter(out));
  }
  for (const CheckResult& c : image.checks) {
    const bool named = std::any_of(out.begin(), out.end(), [&](const CheckResult& o) {
      return std::string(o.name) == c.name;
    });
    if (c.verdict == Verdict::warn && !named) {
      out.push_back(c);
    }
  }
  report.warnings = std::move(out);
  return true;
}

bool known_warning(const std::string& name) {
  const auto warns = [&](const CheckInfo& row) {
    return row.if_not == Verdict::warn && name == row.name;
  };
  const auto finds = [&](const auto& word) {
    return std::find(std::begin(word), std::end(word), name) != std::end(word);
  };
  return std::any_of(std::begin(check_table), std::end(check_table), warns) ||
         std::any_of(std::begin(word_finding_names), std::end(word_finding_names), finds);
}

int report_exit_status(const InspectReport& r) {
  const bool failed = std::any_of(r.checks.begin(), r.checks.end(),
                                  [](const CheckResult& c) { return c.verdict == Verdict::fail; });
  return failed ? inspect_exit_fail : inspect_exit_pass;
}
