// velmora-inspect on images composed by the real velmora: round trips, corruptions, untrusted
// input, and the program's exit statuses, messages, JSON report and extraction.
#include "inspect/inspect.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/run.h"
#include "image/boot_header.h"
#include "image/layout.h"
#include "support/files.h"
#include "support/inputs.h"
#include "support/model.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;

// velmora-inspect with `args`, its standard error kept apart.
ChildResult inspect(const std::vector<std::string>& args, const ChildLimits& limits = {}) {
  std::vector<std::string> words = inspect_command();
  words.insert(words.end(), args.begin(), args.end());
  return run_program(words, limits);
}

// Limits that make a write past `bytes` fail, as on a full disk.
ChildLimits file_limit(long long bytes) {
  return {.file_size = bytes, .ignore_file_size_signal = true};
}

Bytes random_bytes(std::mt19937& rng, std::size_t n) {
  Bytes bytes(n);
  for (std::uint8_t& b : bytes) {
    b = static_cast<std::uint8_t>(rng());
  }
  return bytes;
}

struct App {
  Bytes bytes;
  std::uint32_t load_addr = 0x10000000;
  const char* status = "1";
};

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// Composes boot.bin, app1.bin and app2.bin with velmora into image.bin, and returns the image.
Bytes compose(const ScratchDir& s, const Bytes& boot, const App& app1, const App& app2) {
  const Composed c = compose(s, {boot, app1.bytes, hex(app1.load_addr), app1.status, app2.bytes,
                                 hex(app2.load_addr), app2.status});
  EXPECT_EQ(c.run.exit_status, 0) << c.run.out;
  fs::rename(s.file("download.bin"), s.file("image.bin"));
  return c.image;
}

// The names of the checks that ended with `verdict`, in report order.
std::string checks_with(const InspectReport& r, Verdict verdict) {
  std::string names;
  for (const CheckResult& c : r.checks) {
    if (c.verdict == verdict) {
      names += names.empty() ? c.name : std::string(" ") + c.name;
    }
  }
  return names;
}

// The warnings a composed image earns: a bootloader that reaches past the header into the
// rest of its page, load addresses off a 0x1000 boundary, empty applications, none active,
// load ranges that overlap or cross into the high window.
std::string expected_warnings(std::size_t boot_length, const App& app1, const App& app2) {
  std::string names;
  const auto add = [&](bool holds, const char* name) {
    if (holds) {
      names += names.empty() ? name : std::string(" ") + name;
    }
  };
  add(boot_length > 0x2100, "bootloader_size");
  add(app1.load_addr % 0x1000 != 0, "app1_load_addr");
  add(app2.load_addr % 0x1000 != 0, "app2_load_addr");
  add(app1.bytes.empty(), "app1_size");
  add(app2.bytes.empty(), "app2_size");
  add(std::strcmp(app1.status, "0") == 0 && std::strcmp(app2.status, "0") == 0, "active_app");
  // Load ranges: load address plus size, in 64 bits; the window starts at 0x11000000.
  const auto end = [](const App& a) { return std::uint64_t{a.load_addr} + a.bytes.size(); };
  add(!app1.bytes.empty() && !app2.bytes.empty() &&
          std::max(app1.load_addr, app2.load_addr) < std::min(end(app1), end(app2)),
      "load_overlap");
  add(app1.load_addr < 0x11000000 && end(app1) > 0x11000000, "app1_load_window");
  add(app2.load_addr < 0x11000000 && end(app2) > 0x11000000, "app2_load_window");
  // Bytes marked invalid beside an active application: the bootloader never starts them.
  const auto invalid = [](const App& a) { return std::strcmp(a.status, "0") == 0; };
  add(!app1.bytes.empty() && invalid(app1) && !invalid(app2), "app1_invalid");
  add(!app2.bytes.empty() && invalid(app2) && !invalid(app1), "app2_invalid");
  return names;
}

// The check with this name, or nullptr.
// The report on `length` bytes in memory, which is always read whole.
InspectReport inspect_image(const std::uint8_t* bytes, std::int64_t length) {
  InspectReport r;
  std::string error;
  EXPECT_TRUE(inspect_source(memory_source(bytes, length), false, r, error)) << error;
  return r;
}

const CheckResult* find_check(const InspectReport& r, const std::string& name) {
  for (const CheckResult& c : r.checks) {
    if (name == c.name) {
      return &c;
    }
  }
  return nullptr;
}

// Inspects an exact-size copy, so that the sanitizer sees any read past its end.
InspectReport inspect_copy(const Bytes& image, std::size_t length) {
  const Bytes copy(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(length));
  return inspect_image(copy.data(), static_cast<std::int64_t>(copy.size()));
}

// The comparison --against makes, on inputs and an image held in memory; the four numeric
// words are read by velmora's own rule.
AgainstReport against(const Bytes& boot, const Bytes& app1, const std::string& load1,
                      const std::string& status1, const Bytes& app2, const std::string& load2,
                      const std::string& status2, const Bytes& image) {
  std::vector<std::string> words = {"velmora",  "boot.bin", "app1.bin", load1,      status1,
                                    "app2.bin", load2,      status2,    "image.bin"};
  std::vector<char*> argv;
  for (std::string& w : words) {
    argv.push_back(w.data());
  }
  const auto source = [](const Bytes& b) {
    return memory_source(b.data(), static_cast<std::int64_t>(b.size()));
  };
  AgainstReport r;
  std::string error;
  EXPECT_TRUE(compare_against(parse_run_args(argv.data()), source(boot), source(app1), source(app2),
                              source(image), r, error))
      << error;
  return r;
}

// The refusal of compare_against where velmora would refuse the inputs, or "" when it
// compares them: a bootloader and an APP1 of these lengths, an empty APP2 and image.
std::string refusal(std::int64_t boot_length, std::int64_t app1_length) {
  static const Bytes zeros(0x4000, 0);  // only the lengths that are compared are ever read
  std::vector<std::string> words = {"velmora", "b", "a1", "0", "1", "a2", "0", "1", "i"};
  std::vector<char*> argv;
  for (std::string& w : words) {
    argv.push_back(w.data());
  }
  const ByteSource none = memory_source(zeros.data(), 0);
  AgainstReport r;
  std::string error;
  return compare_against(parse_run_args(argv.data()), memory_source(zeros.data(), boot_length),
                         memory_source(zeros.data(), app1_length), none, none, r, error)
             ? ""
             : error;
}

// Each difference by its name; bytes with how many differ and where the first is, in the
// region and in the image.
std::string differences(const AgainstReport& r) {
  std::string text;
  for (const RegionDiff& d : r.differences) {
    text += text.empty() ? "" : " ";
    text += d.what;
    if (d.kind == RegionKind::bytes) {
      char where[64];
      std::snprintf(where, sizeof where, ":%lld@0x%llx/0x%llx", static_cast<long long>(d.count),
                    static_cast<unsigned long long>(d.first),
                    static_cast<unsigned long long>(d.offset_a + d.first));
      text += where;
    }
  }
  return text;
}

// Quote and backslash escaped: JSON for ASCII text without control characters.
std::string json_quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    quoted += c == '"' || c == '\\' ? std::string{'\\', c} : std::string{c};
  }
  return quoted + "\"";
}

// Whether `text` is exactly one well-formed JSON value.
struct JsonCursor {
  const std::string& s;
  std::size_t i = 0;
  bool more() const { return i < s.size(); }
  void skip_blanks() {
    while (more() && std::strchr(" \t\r\n", s[i]) != nullptr) {
      ++i;
    }
  }
  bool take(char ch) {
    skip_blanks();
    if (more() && s[i] == ch) {
      ++i;
      return true;
    }
    return false;
  }
};

bool json_value(JsonCursor& c);

bool json_text(JsonCursor& c) {
  if (!c.take('"')) {
    return false;
  }
  while (c.more()) {
    const char ch = c.s[c.i++];
    if (ch == '"') {
      return true;
    }
    if (static_cast<unsigned char>(ch) < 0x20) {
      return false;
    }
    if (ch == '\\') {
      if (!c.more()) {
        return false;
      }
      const char e = c.s[c.i++];
      if (e == 'u') {
        for (int k = 0; k < 4; ++k, ++c.i) {
          if (!c.more() || std::isxdigit(static_cast<unsigned char>(c.s[c.i])) == 0) {
            return false;
          }
        }
      } else if (std::strchr("\"\\/bfnrt", e) == nullptr || e == '\0') {
        return false;
      }
    }
  }
  return false;
}

bool json_members(JsonCursor& c, char close, bool keyed) {
  if (c.take(close)) {
    return true;
  }
  do {
    if (keyed && !(json_text(c) && c.take(':'))) {
      return false;
    }
    if (!json_value(c)) {
      return false;
    }
  } while (c.take(','));
  return c.take(close);
}

bool json_value(JsonCursor& c) {
  c.skip_blanks();
  if (!c.more()) {
    return false;
  }
  for (const char* word : {"true", "false", "null"}) {
    if (c.s.compare(c.i, std::strlen(word), word) == 0) {
      c.i += std::strlen(word);
      return true;
    }
  }
  switch (c.s[c.i]) {
    case '{':
      ++c.i;
      return json_members(c, '}', true);
    case '[':
      ++c.i;
      return json_members(c, ']', false);
    case '"':
      return json_text(c);
    default: {
      c.i += c.s[c.i] == '-' ? 1u : 0u;
      const std::size_t start = c.i;
      while (c.more() && std::isdigit(static_cast<unsigned char>(c.s[c.i])) != 0) {
        ++c.i;
      }
      return c.i > start;
    }
  }
}

bool is_json(const std::string& text) {
  JsonCursor c{text};
  if (!json_value(c)) {
    return false;
  }
  c.skip_blanks();
  return !c.more();
}

}  // namespace

TEST(InspectImage, ComposedImagesPassAndExtractToTheirInputs) {
  // Lengths at and around word and page boundaries; the later cases draw random lengths.
  // The last two span several of the stretches the image is read in.
  const std::size_t lengths[] = {0,      1,      2,      3,       4,      5,      7,
                                 8,      0xFFC,  0xFFD,  0xFFF,   0x1000, 0x1001, 0x1003,
                                 0x1004, 0x2000, 0x2001, 0x20003, 0x31002};
  const std::uint32_t addresses[] = {0x10000000, 0x10FFFFFF, 0x11000000, 0xFFFFFFFC};
  const char* statuses[] = {"0", "1", "2", "80", "ff", "7f"};
  const std::size_t boot_lengths[] = {0, 1, 0x1A00, 0x1FFF, 0x2000, 0x2100, 0x2400};
  constexpr std::size_t n_lengths = std::size(lengths);
  std::mt19937 rng(20240607);
  const ScratchDir scratch;

  for (std::size_t i = 0; i < 24; ++i) {
    const bool drawn = i >= n_lengths;
    const std::size_t len1 = drawn ? rng() % 0x3000 : lengths[i];
    const std::size_t len2 = drawn ? rng() % 0x3000 : lengths[(i * 5 + 3) % n_lengths];
    const std::size_t boot_length = boot_lengths[i % std::size(boot_lengths)];
    const Bytes boot = random_bytes(rng, boot_length);
    const App app1{random_bytes(rng, len1), addresses[i % 4], statuses[i % 6]};
    const App app2{random_bytes(rng, len2), addresses[(i / 2 + 1) % 4], statuses[(i + 3) % 6]};
    SCOPED_TRACE(testing::Message()
                 << "case " << i << ": boot " << boot_length << ", APP1 " << len1 << " at "
                 << hex(app1.load_addr) << " status " << app1.status << ", APP2 " << len2 << " at "
                 << hex(app2.load_addr) << " status " << app2.status);
    const Bytes image = compose(scratch, boot, app1, app2);

    const InspectReport r = inspect_copy(image, image.size());
    EXPECT_EQ(checks_with(r, Verdict::fail), "");
    EXPECT_EQ(checks_with(r, Verdict::warn), expected_warnings(boot_length, app1, app2));
    EXPECT_EQ(checks_with(r, Verdict::skip), "");
    EXPECT_EQ(r.app1.stored.size, len1);
    // The checksums velmora-inspect computes, against the model's bit-at-a-time ones.
    EXPECT_EQ(r.app1.computed_crc, model_crc(app1.bytes));
    EXPECT_EQ(r.app2.computed_crc, model_crc(app2.bytes));
    EXPECT_EQ(r.computed_header_crc, model_crc(image.data() + 0x2000, 0xF0));
    EXPECT_EQ(r.app2.stored.load_addr, app2.load_addr);
    EXPECT_EQ(differences(against(boot, app1.bytes, hex(app1.load_addr), app1.status, app2.bytes,
                                  hex(app2.load_addr), app2.status, image)),
              "");
    if (len1 > 0x1ABCD) {
      // A byte past the first stretches of the image is found where it is.
      Bytes edited = image;
      edited[0x1DBCD] ^= 1;
      EXPECT_EQ(differences(against(boot, app1.bytes, hex(app1.load_addr), app1.status, app2.bytes,
                                    hex(app2.load_addr), app2.status, edited)),
                "app1:1@0x1abcd/0x1dbcd");
    }

    const std::string out = scratch.file("out");
    fs::remove_all(out);
    const ChildResult run = inspect({"--extract", out, scratch.file("image.bin")});
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(read_bytes(out + "/app1.bin"), app1.bytes);
    EXPECT_EQ(read_bytes(out + "/app2.bin"), app2.bytes);
    Bytes boot_region(0x2000, 0xFF);
    std::copy_n(boot.begin(), std::min<std::size_t>(boot.size(), 0x2000), boot_region.begin());
    EXPECT_EQ(read_bytes(out + "/boot.bin"), boot_region);
    EXPECT_EQ(read_bytes(out + "/header.bin"),
              Bytes(image.begin() + 0x2000, image.begin() + 0x2100));
  }
}

namespace {

enum class Edit { flip, set_word, set_word_forged, cut_to, append_page };

struct Corruption {
  const char* what;
  Edit edit;
  std::size_t at;  // image offset, or the new length for cut_to
  std::uint32_t value;
  const char* fails;
  const char* warns;
};

constexpr auto header_at = static_cast<std::size_t>(header_offset);

// The header CRC recomputed, so that a forged field is caught by its own check.
void forge_header_crc(Bytes& image) {
  HeaderBytes header{};
  std::copy_n(image.begin() + header_offset, header.size(), header.begin());
  put_le32(image.data(), header_at + header_crc_field, compute_header_crc(header));
}

}  // namespace

TEST(InspectImage, CatchesEachCorruptionWithTheRightCheck) {
  // APP1 0x1234 bytes at 0x3000 as is; APP2 0x906 bytes at 0x5000, reversed, flag set.
  const Corruption corruptions[] = {
      {"bootloader byte: no checksum covers it", Edit::flip, 0x0100, 0, "", ""},
      {"header page after the header: no checksum covers it", Edit::flip, 0x2800, 0, "",
       "bootloader_size"},
      {"APP1 status", Edit::flip, 0x2000, 0, "header_crc app1_status", ""},
      {"APP1 crc field", Edit::flip, 0x2008, 0, "header_crc app1_crc", ""},
      {"APP2 load address, still high", Edit::flip, 0x2053, 0, "header_crc", ""},
      {"APP2 load address moved low, onto APP1's", Edit::set_word_forged, 0x2050, 0x10000000,
       "app2_flags app2_crc", "load_overlap"},
      {"reserved descriptor byte", Edit::flip, 0x2014, 0, "header_crc header_reserved", ""},
      {"reserved byte under the header crc", Edit::flip, 0x2060, 0, "header_crc header_reserved",
       ""},
      {"reserved byte after the header crc", Edit::flip, 0x20F8, 0, "header_reserved", ""},
      {"header crc field", Edit::flip, 0x20F0, 0, "header_crc", ""},
      {"APP1 first byte", Edit::flip, 0x3000, 0, "app1_crc", ""},
      {"APP1 last byte", Edit::flip, 0x4233, 0, "app1_crc", ""},
      {"APP2 first stored byte", Edit::flip, 0x5000, 0, "app2_crc", ""},
      {"APP2 tail byte, not reversed", Edit::flip, 0x5905, 0, "app2_crc", ""},
      {"APP1 padding", Edit::flip, 0x4234, 0, "", "app1_padding"},
      {"APP2 padding, last byte of the file", Edit::flip, 0x5FFF, 0, "", "app2_padding"},
      {"APP1 size one more", Edit::set_word, 0x2010, 0x1235, "header_crc app1_crc", ""},
      {"APP1 size one more, forged", Edit::set_word_forged, 0x2010, 0x1235, "app1_crc", ""},
      {"APP1 size a page more, forged", Edit::set_word_forged, 0x2010, 0x2001,
       "app1_crc app2_offset file_length", "app1_padding"},
      {"APP1 offset moved, forged", Edit::set_word_forged, 0x200C, 0x4000, "app1_offset app1_crc",
       "app1_padding"},
      {"APP2 size past the end, forged", Edit::set_word_forged, 0x2040, 0x1001,
       "app2_in_file file_length", ""},
      {"APP2 offset that wraps 32 bits, forged", Edit::set_word_forged, 0x203C, 0xFFFFF800,
       "app2_offset app2_in_file", ""},
      {"APP1 flag in the low window, forged", Edit::set_word_forged, 0x2004, 0x8000, "app1_flags",
       ""},
      {"APP2 flag beside another bit, forged", Edit::set_word_forged, 0x2034, 0x18000, "app2_flags",
       ""},
      {"APP2 status 2, forged", Edit::set_word_forged, 0x2030, 2, "app2_status app2_flags", ""},
      // APP1 is active, so APP2's bytes are never started: a warning besides the flag's fault.
      {"APP2 invalid with the flag, forged", Edit::set_word_forged, 0x2030, 0, "app2_flags",
       "app2_invalid"},
      {"cut one byte short", Edit::cut_to, 0x5FFF, 0, "file_length", ""},
      {"cut one page short", Edit::cut_to, 0x5000, 0, "app2_in_file file_length", ""},
      {"cut after the header page", Edit::cut_to, 0x3000, 0,
       "app1_in_file app2_in_file file_length", ""},
      {"cut inside the header page", Edit::cut_to, 0x2FFF, 0,
       "min_length app1_in_file app2_in_file file_length", ""},
      {"cut right after the header", Edit::cut_to, 0x2100, 0,
       "min_length app1_in_file app2_in_file file_length", ""},
      {"cut inside the header", Edit::cut_to, 0x20FF, 0, "min_length", ""},
      {"a page appended", Edit::append_page, 0, 0, "file_length", ""},
  };
  std::mt19937 rng(4);
  const ScratchDir scratch;
  const Bytes original =
      compose(scratch, random_bytes(rng, 0x1A00), App{random_bytes(rng, 0x1234), 0x10000000, "1"},
              App{random_bytes(rng, 0x906), 0x11000000, "2"});
  ASSERT_EQ(original.size(), 0x6000u);

  for (const Corruption& c : corruptions) {
    SCOPED_TRACE(c.what);
    Bytes image = original;
    switch (c.edit) {
      case Edit::flip:
        image[c.at] ^= 0xFF;
        break;
      case Edit::set_word:
      case Edit::set_word_forged:
        put_le32(image.data(), c.at, c.value);
        if (c.edit == Edit::set_word_forged) {
          forge_header_crc(image);
        }
        break;
      case Edit::cut_to:
        image.resize(c.at);
        break;
      case Edit::append_page:
        image.resize(image.size() + 0x1000, 0xFF);
        break;
    }
    const InspectReport r = inspect_copy(image, image.size());
    EXPECT_EQ(checks_with(r, Verdict::fail), c.fails);
    EXPECT_EQ(checks_with(r, Verdict::warn), c.warns);
    EXPECT_EQ(report_exit_status(r), *c.fails == '\0' ? inspect_exit_pass : inspect_exit_fail);
  }
}

TEST(InspectImage, UntrustedFieldsNeverReadPastTheFile) {
  std::mt19937 rng(7);
  const ScratchDir scratch;
  const Bytes image = compose(scratch, random_bytes(rng, 0x800), App{random_bytes(rng, 0x10)},
                              App{random_bytes(rng, 0x11), 0x11000000, "1"});
  ASSERT_EQ(image.size(), 0x5000u);

  // Every cut of the file: only the whole file passes, and nothing is read past the cut.
  for (std::size_t length = 0; length < image.size(); length += length < 0x2200 ? 1 : 7) {
    EXPECT_EQ(report_exit_status(inspect_copy(image, length)), inspect_exit_fail)
        << "cut to " << length;
  }
  EXPECT_EQ(report_exit_status(inspect_copy(image, image.size())), inspect_exit_pass);
  EXPECT_EQ(checks_with(inspect_image(nullptr, 0), Verdict::fail), "min_length");
  EXPECT_EQ(find_check(inspect_image(nullptr, 0), "min_length")->detail, "the file is empty");

  // Offsets and sizes anywhere in the 32-bit range, the header CRC kept right each time.
  const std::uint32_t values[] = {0,          0x3000,     0x4FFF,     0x5000,    0x5001,
                                  0x7FFFFFFF, 0x80000000, 0xFFFFF000, 0xFFFFFFFF};
  for (const std::uint32_t offset : values) {
    for (const std::uint32_t size : values) {
      Bytes forged = image;
      put_le32(forged.data(), header_at + 0x3C, offset);  // APP2's descriptor at 0x30
      put_le32(forged.data(), header_at + 0x40, size);
      forge_header_crc(forged);
      const InspectReport r = inspect_copy(forged, forged.size());
      const bool fits = std::uint64_t{offset} + size <= forged.size();
      EXPECT_EQ(r.app2.in_file, fits) << hex(offset) << " + " << hex(size);
      EXPECT_EQ(find_check(r, "app2_in_file")->verdict, fits ? Verdict::pass : Verdict::fail);
    }
  }
  // The largest size a field holds: 0x100000 pages, the last one partial.
  Bytes forged = image;
  put_le32(forged.data(), header_at + 0x40, 0xFFFFFFFF);
  forge_header_crc(forged);
  const std::string text =
      render_text(report_doc("f", inspect_copy(forged, forged.size()), false), false);
  EXPECT_NE(text.find("  size:         0xffffffff (4294967295 bytes, 1048576 pages)\n"),
            std::string::npos)
      << text;
}

TEST(InspectImage, EachCheckAtItsLimitAndOnePast) {
  // APP1 0x10 bytes at 0x3000 loaded at 0x10000000; APP2 0x10 bytes at 0x4000 loaded at
  // 0x11000000, flagged. Each case sets one word of the image (the header CRC kept right) and
  // looks at one check.
  const Bytes original = model_image(Bytes(0x100, 0xB0), {Bytes(0x10, 0xA1), 0x10000000, 1},
                                     {Bytes(0x10, 0xA2), 0x11000000, 2});
  ASSERT_EQ(original.size(), 0x5000u);
  struct Case {
    std::size_t at;
    std::uint32_t value;
    const char* check;
    Verdict verdict;
    const char* detail;
  };
  const char* const not_aligned =
      " is not a multiple of 0x1000 (sector-aligned): a typo, or the status and the load "
      "address swapped?";
  const char* const low_flag =
      "the flag bit is set, but only an active application in the high window can carry it";
  const Case cases[] = {
      {0x2020, 0x10001000, "app1_load_addr", Verdict::pass,
       "the load address is a multiple of 0x1000"},
      {0x2020, 0x10001001, "app1_load_addr", Verdict::warn, "the load address 0x10001001"},
      {0x2050, 0x11001000, "app2_load_addr", Verdict::pass,
       "the load address is a multiple of 0x1000"},
      {0x2050, 0x11000FFF, "app2_load_addr", Verdict::warn, "the load address 0x11000fff"},
      // APP1's load range ends right at the window's start, or one byte into it.
      {0x2020, 0x10FFFFF0, "app1_load_window", Verdict::pass,
       "the load range does not cross 0x11000000"},
      {0x2020, 0x10FFFFF1, "app1_load_window", Verdict::warn,
       "the load range 0x10fffff1-0x11000000 crosses 0x11000000: its 0x1 bytes from there on "
       "are in the high window but stored as is, not word-reversed"},
      {0x2020, 0x11000000, "app1_load_window", Verdict::pass,
       "the load range does not cross 0x11000000"},
      {0x2050, 0x10FFFFF1, "app2_load_window", Verdict::warn,
       "the load range 0x10fffff1-0x11000000 crosses 0x11000000: its 0x1 bytes from there on "
       "are in the high window but stored as is, not word-reversed"},
      {0x2000, 0, "app1_status", Verdict::pass, "the status is 0 or 1"},
      {0x2000, 2, "app1_status", Verdict::fail,
       "the status is 0x00000002, neither 0 (invalid) nor 1 (active)"},
      {0x2030, 0xFFFFFFFF, "app2_status", Verdict::fail,
       "the status is 0xffffffff, neither 0 (invalid) nor 1 (active)"},
      // The flag: allowed only for an active APP2 at 0x11000000 or above.
      {0x2034, 0x00008000, "app2_flags", Verdict::pass,
       "the flag bit is set, as allowed for an active application in the high window"},
      {0x2034, 0, "app2_flags", Verdict::pass, "no flag bit is set"},
      {0x2034, 0x00018000, "app2_flags", Verdict::fail,
       "the flags 0x00018000 hold bits other than 0x00008000"},
      {0x2034, 0x00008001, "app2_flags", Verdict::fail,
       "the flags 0x00008001 hold bits other than 0x00008000"},
      {0x2050, 0x10FFFFFF, "app2_flags", Verdict::fail, low_flag},
      {0x2030, 0, "app2_flags", Verdict::fail, low_flag},
      {0x2004, 0x00008000, "app1_flags", Verdict::fail, low_flag},
      // APP2's load range beside APP1's [0x10000000, 0x10000010), or one byte into it.
      {0x2050, 0x10000010, "load_overlap", Verdict::pass,
       "the load ranges of APP1 and APP2 do not overlap"},
      {0x2050, 0x1000000F, "load_overlap", Verdict::warn,
       "APP1's load range 0x10000000-0x1000000f and APP2's 0x1000000f-0x1000001e overlap at "
       "0x1000000f-0x1000000f: one overwrites the other when loaded"},
      // The first and the last byte of the header page after the header.
      {0x2100, 0xFFFFFF00, "bootloader_size", Verdict::warn,
       "1 byte of the header page after the header is not 0xFF, the first at 0x00002100: the "
       "bootloader is longer than its 0x2000-byte region (were the bootloader and APP1 "
       "swapped?)"},
      {0x2FFC, 0x00FFFFFF, "bootloader_size", Verdict::warn,
       "1 byte of the header page after the header is not 0xFF, the first at 0x00002fff: the "
       "bootloader is longer than its 0x2000-byte region (were the bootloader and APP1 "
       "swapped?)"},
      {0x2000, 0, "active_app", Verdict::pass, "at least one application is active"},
      {0x2010, 0, "app1_size", Verdict::warn, "the application is empty (size 0)"},
      {0x3010, 0, "app1_padding", Verdict::warn,
       "4 bytes after the application in its last page are not 0xFF, the first at 0x00003010 "
       "(a long bootloader may have run on there)"},
      {0x2040, 0x1001, "app2_crc", Verdict::skip, "the application is not within the file"},
      {0x2040, 0x1001, "app2_padding", Verdict::skip, "the application is not within the file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.check) + " with " + hex(c.value) + " at " +
                 hex(static_cast<std::uint32_t>(c.at)));
    Bytes image = original;
    put_le32(image.data(), c.at, c.value);
    forge_header_crc(image);
    const InspectReport r = inspect_copy(image, image.size());
    const CheckResult* found = find_check(r, c.check);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->verdict, c.verdict);
    const bool alignment = c.verdict == Verdict::warn && std::strstr(c.check, "_load_addr");
    EXPECT_EQ(found->detail, std::string(c.detail) + (alignment ? not_aligned : ""));
  }
  // Both applications invalid: nothing to start.
  Bytes image = original;
  put_le32(image.data(), 0x2000, 0);
  put_le32(image.data(), 0x2030, 0);
  forge_header_crc(image);
  EXPECT_EQ(checks_with(inspect_copy(image, image.size()), Verdict::warn), "active_app");
}

// The warnings judged on the inputs of --against, each "name detail" on a line.
std::string input_lines(std::int64_t boot, std::uint32_t load1, std::uint32_t size1,
                        std::uint32_t word1, std::uint32_t load2, std::uint32_t size2,
                        std::uint32_t word2) {
  InspectReport velmora;
  velmora.app1.stored.load_addr = load1;
  velmora.app1.stored.size = size1;
  velmora.app2.stored.load_addr = load2;
  velmora.app2.stored.size = size2;
  const InputFacts inputs{boot, {word1, word2}};
  std::string lines;
  for (const CheckResult& c : judge_checks(velmora, &inputs)) {
    EXPECT_EQ(c.verdict, Verdict::warn);
    lines += std::string(c.name) + " " + c.detail + "\n";
  }
  return lines;
}

TEST(InspectAgainst, EachInputWarningAtItsLimitAndOnePast) {
  const std::string boot =
      "bootloader_input the bootloader is 0x%s bytes, longer than its 0x2000-byte region: the "
      "header replaces its bytes 0x2000-0x%s";
  const auto bootloader = [&](const char* length, const char* header_last, const char* rest) {
    std::string line = boot;
    line.replace(line.find("%s"), 2, length);
    line.replace(line.find("%s"), 2, header_last);
    return line + rest + "\n";
  };
  const char* const swapped =
      " above 0xFF, of which velmora keeps %s: the load address and the status swapped?\n";
  const auto swap = [&](const char* name, const char* load, const char* word, const char* kept) {
    std::string tail = swapped;
    tail.replace(tail.find("%s"), 2, kept);
    return std::string(name) + " the load address " + load +
           " is below 0x100 and the status word " + word + tail;
  };
  struct Case {
    const char* what;
    std::int64_t boot;
    std::uint32_t load1, size1, word1, load2, size2, word2;
    std::string expected;
  };
  const std::uint32_t low = 0x10000000;
  const std::uint32_t high = 0x11000000;
  const Case cases[] = {
      {"as meant", 0x100, low, 0x1000, 1, high, 0x800, 1, ""},
      {"a bootloader that fills its region", 0x2000, low, 0x1000, 1, high, 0x800, 1, ""},
      {"one byte more", 0x2001, low, 0x1000, 1, high, 0x800, 1, bootloader("2001", "2000", "")},
      {"up to the header's end", 0x2100, low, 0x1000, 1, high, 0x800, 1,
       bootloader("2100", "20ff", "")},
      {"one byte into the header page", 0x2101, low, 0x1000, 1, high, 0x800, 1,
       bootloader("2101", "20ff", ", and its bytes 0x2100-0x2100 run on into the header page")},
      {"up to the header page's end", 0x3000, low, 0x1000, 1, high, 0x800, 1,
       bootloader("3000", "20ff", ", and its bytes 0x2100-0x2fff run on into the header page")},
      {"one byte into APP1's page", 0x3001, low, 0x1000, 1, high, 0x800, 1,
       bootloader("3001", "20ff",
                  ", and its bytes 0x2100-0x3000 run on into the header page and beyond, where "
                  "APP1 and APP2 replace what they cover")},
      {"load address 0x100", 0x100, 0x100, 0x10, 0x100, high, 0x800, 1, ""},
      {"status word 0xff", 0x100, 0xFF, 0x10, 0xFF, high, 0x800, 1, ""},
      {"APP1 swapped", 0x100, 0xFF, 0x10, 0x100, high, 0x800, 1,
       swap("app1_swapped", "0x000000ff", "0x00000100", "0x00 (invalid)")},
      {"APP2 swapped, the kept status negative", 0x100, low, 0x1000, 1, 0, 0x800, 0x100001FF,
       swap("app2_swapped", "0x00000000", "0x100001ff", "0xff (active)")},
      {"APP2 loaded right after APP1", 0x100, low, 0x1000, 1, 0x10001000, 0x800, 1, ""},
      {"APP2 loaded on APP1's last byte", 0x100, low, 0x1000, 1, 0x10000FFF, 0x800, 1,
       "load_overlap APP1's load range 0x10000000-0x10000fff and APP2's 0x10000fff-0x100017fe "
       "overlap at 0x10000fff-0x10000fff: one overwrites the other when loaded\n"},
      {"an empty APP2 at APP1's address", 0x100, low, 0x1000, 1, low, 0, 1, ""},
      {"APP1 up to the window", 0x100, 0x10FFF000, 0x1000, 1, 0x12000000, 0x800, 1, ""},
      {"APP1 one byte into the window", 0x100, 0x10FFF000, 0x1001, 1, 0x12000000, 0x800, 1,
       "app1_load_window the load range 0x10fff000-0x11000000 crosses 0x11000000: its 0x1 bytes "
       "from there on are in the high window but stored as is, not word-reversed\n"},
      {"APP2 one byte into the window", 0x100, low, 0x1000, 1, 0x10FFF800, 0x801, 1,
       "app2_load_window the load range 0x10fff800-0x11000000 crosses 0x11000000: its 0x1 bytes "
       "from there on are in the high window but stored as is, not word-reversed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(input_lines(c.boot, c.load1, c.size1, c.word1, c.load2, c.size2, c.word2),
              c.expected);
  }
  // Several at once, in the report's order; an unaligned load address is the image's to say.
  const auto names = [](const std::string& lines) {
    std::string first_words;
    for (std::size_t at = 0; at < lines.size(); at = lines.find('\n', at) + 1) {
      first_words += (at == 0 ? "" : " ") + lines.substr(at, lines.find(' ', at) - at);
    }
    return first_words;
  };
  EXPECT_EQ(names(input_lines(0x2001, 0x10, 0x1000, 0x101, 0x20, 0x1000, 0x102)),
            "bootloader_input app1_swapped app2_swapped load_overlap");
  EXPECT_EQ(names(input_lines(0x100, 0x10FFF001, 0x1000, 1, 0x10FFF001, 0x1000, 1)),
            "load_overlap app1_load_window app2_load_window");
}

TEST(VelmoraInspect, ExitStatusesAndMessages) {
  std::mt19937 rng(11);
  const ScratchDir s;
  Bytes image = compose(s, random_bytes(rng, 0x100), App{random_bytes(rng, 0x1001)},
                        App{random_bytes(rng, 6), 0x11000000, "2"});
  const std::string good = s.file("image.bin");

  // The whole report, its checksums from the model: APP1 as stored, APP2's six bytes with
  // their first word turned back.
  const std::uint8_t* a2 = image.data() + 0x5000;
  const Bytes app2 = {a2[3], a2[2], a2[1], a2[0], a2[4], a2[5]};
  const std::string crc1 = hex(model_crc(image.data() + 0x3000, 0x1001));
  const std::string crc2 = hex(model_crc(app2));
  const std::string header_crc = hex(model_crc(image.data() + 0x2000, 0xF0));
  const std::pair<const char*, const char*> passes[] = {
      {"min_length", "the file holds the bootloader region and the header page"},
      {"header_crc", "the header CRC matches"},
      {"header_reserved", "the reserved header bytes are zero"},
      {"app1_status", "the status is 0 or 1"},
      {"app1_flags", "no flag bit is set"},
      {"app1_offset", "APP1 starts right after the header page"},
      {"app1_in_file", "the application lies within the file"},
      {"app1_crc", "the application's CRC matches"},
      {"app1_padding", "the rest of the application's last page is 0xFF"},
      {"app2_status", "the status is 0 or 1"},
      {"app2_flags",
       "the flag bit is set, as allowed for an active application in the high window"},
      {"app2_offset", "APP2 starts right after APP1's last page"},
      {"app2_in_file", "the application lies within the file"},
      {"app2_crc", "the application's CRC matches"},
      {"app2_padding", "the rest of the application's last page is 0xFF"},
      {"file_length", "the file length agrees with the application sizes"},
      {"bootloader_size", "the header page after the header is 0xFF"},
      {"app1_load_addr", "the load address is a multiple of 0x1000"},
      {"app2_load_addr", "the load address is a multiple of 0x1000"},
      {"app1_size", "the application is not empty"},
      {"app2_size", "the application is not empty"},
      {"active_app", "at least one application is active"},
      {"load_overlap", "the load ranges of APP1 and APP2 do not overlap"},
      {"app1_load_window", "the load range does not cross 0x11000000"},
      {"app2_load_window", "the load range does not cross 0x11000000"},
  };
  std::string report =
      "image:  " + good + "\nlength: 0x00006000 (24576 bytes, 6 pages)\n\nAPP1\n" +
      "  status:       1 (active)\n  flags:        0x00000000 (flag bit clear)\n" +
      "  load address: 0x10000000 (below the high window: stored as is)\n" +
      "  offset:       0x00003000\n  size:         0x00001001 (4097 bytes, 2 pages)\n" +
      "  crc:          stored " + crc1 + ", computed " + crc1 + "\nAPP2\n" +
      "  status:       1 (active)\n  flags:        0x00008000 (flag bit set; agrees: active, " +
      "load address in the high window)\n" +
      "  load address: 0x11000000 (in the high window: stored word-reversed)\n" +
      "  offset:       0x00005000\n  size:         0x00000006 (6 bytes, 1 page)\n" +
      "  crc:          stored " + crc2 + ", computed " + crc2 + " (over the un-reversed bytes)\n" +
      "\nheader crc: stored " + header_crc + ", computed " + header_crc + "\n\nchecks:\n";
  std::string json_checks;
  for (const auto& [name, detail] : passes) {
    char line[160];
    std::snprintf(line, sizeof line, "  pass  %-16s %s\n", name, detail);
    report += line;
    json_checks += std::string(json_checks.empty() ? "" : ",\n") + "    {\"name\": \"" + name +
                   "\", \"verdict\": \"pass\", \"detail\": \"" + detail + "\"}";
  }
  report += "summary: PASS: 25 passed, 0 warnings, 0 failed, 0 skipped\n";
  ChildResult run = inspect({good});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, report);
  EXPECT_EQ(run.err, "");
  const auto app_json = [](const char* facts, std::uint32_t crc) {
    return std::string(facts) +
           "    \"in_file\": true,\n    \"crc_stored\": " + std::to_string(crc) +
           ",\n    \"crc_computed\": " + std::to_string(crc) + "\n  },\n";
  };
  const std::string json =
      "{\n  \"file\": \"" + good + "\", \"file_hex\": null,\n  \"length\": 24576,\n" +
      "  \"pages\": 6,\n  \"header_present\": true,\n  \"app1\": " +
      app_json(
          "{\n    \"status\": 1,\n    \"active\": true,\n    \"flags\": 0,\n"
          "    \"flag_set\": false,\n    \"flag_allowed\": false,\n"
          "    \"load_addr\": 268435456,\n    \"high_window\": false,\n"
          "    \"offset\": 12288,\n    \"size\": 4097,\n    \"pages\": 2,\n",
          model_crc(image.data() + 0x3000, 0x1001)) +
      "  \"app2\": " +
      app_json(
          "{\n    \"status\": 1,\n    \"active\": true,\n    \"flags\": 32768,\n"
          "    \"flag_set\": true,\n    \"flag_allowed\": true,\n"
          "    \"load_addr\": 285212672,\n    \"high_window\": true,\n"
          "    \"offset\": 20480,\n    \"size\": 6,\n    \"pages\": 1,\n",
          model_crc(app2)) +
      "  \"header_crc_stored\": " + std::to_string(model_crc(image.data() + 0x2000, 0xF0)) +
      ",\n  \"header_crc_computed\": " + std::to_string(model_crc(image.data() + 0x2000, 0xF0)) +
      ",\n  \"checks\": [\n" + json_checks +
      "\n  ],\n  \"passed\": 25,\n  \"warnings\": 0,\n  \"failed\": 0,\n  \"skipped\": 0,\n"
      "  \"map\": [\n"
      "    {\"offset\": 0, \"end\": 8192, \"length\": 8192, \"name\": \"bootloader\"},\n"
      "    {\"offset\": 8192, \"end\": 8448, \"length\": 256, \"name\": \"header\"},\n"
      "    {\"offset\": 8448, \"end\": 12288, \"length\": 3840, \"name\": "
      "\"header_page_rest\"},\n"
      "    {\"offset\": 12288, \"end\": 16385, \"length\": 4097, \"name\": \"app1\"},\n"
      "    {\"offset\": 16385, \"end\": 20480, \"length\": 4095, \"name\": \"app1_padding\"},\n"
      "    {\"offset\": 20480, \"end\": 20486, \"length\": 6, \"name\": \"app2\"},\n"
      "    {\"offset\": 20486, \"end\": 24576, \"length\": 4090, \"name\": \"app2_padding\"}\n"
      "  ],\n  \"result\": \"pass\"\n}\n";
  EXPECT_EQ(inspect({"--json", "--map", good}).out, json);

  // A report that cannot be written whole (here a file size limit of one byte on the output)
  // is a failure, even when the bytes only fail to leave the buffer at the end.
  const int report_fd = open(s.file("report.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ChildLimits limits = file_limit(1);
  limits.stdout_fd = report_fd;
  run = inspect({good}, limits);
  close(report_fd);
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_LE(read_bytes(s.file("report.txt")).size(), 1u);

  // Many faults at once, each check naming its own; the literals follow from the edits.
  image[0x2014] = 1;  // two reserved bytes
  image[0x20F8] = 1;
  put_le32(image.data(), 0x2000, 2);           // APP1 status
  put_le32(image.data(), 0x2004, 0x18000);     // APP1 flags
  put_le32(image.data(), 0x2008, 0x12345678);  // APP1 crc
  put_le32(image.data(), 0x2020, 0x10000010);  // APP1 load address
  put_le32(image.data(), 0x2030, 0);           // APP2 invalid, flag kept
  put_le32(image.data(), 0x203C, 0x5800);      // APP2 offset, onto six 0xFF bytes
  image[0x2800] = 0;                           // the bootloader run on
  image.push_back(0);                          // one byte more, in APP2's page
  write_bytes(s.file("bad.bin"), image);
  const std::string bad_crc = hex(model_crc(image.data() + 0x2000, 0xF0));
  const std::string checks =
      "\nchecks:\n  pass  min_length       the file holds the bootloader region and the header "
      "page\n  fail  header_crc       the header CRC is " +
      header_crc + " but the header's bytes give " + bad_crc +
      "\n  fail  header_reserved  2 reserved header bytes are not zero, the first at header "
      "offset 0x14\n  fail  app1_status      the status is 0x00000002, neither 0 (invalid) nor 1 "
      "(active)\n  fail  app1_flags       the flags 0x00018000 hold bits other than 0x00008000\n"
      "  pass  app1_offset      APP1 starts right after the header page\n"
      "  pass  app1_in_file     the application lies within the file\n"
      "  fail  app1_crc         the stored CRC is 0x12345678 but the application's bytes give " +
      crc1 +
      "\n  pass  app1_padding     the rest of the application's last page is 0xFF\n"
      "  pass  app2_status      the status is 0 or 1\n"
      "  fail  app2_flags       the flag bit is set, but only an active application in the high "
      "window can carry it\n  fail  app2_offset      APP2's offset is 0x00005800, but APP1's "
      "last page ends at 0x00005000\n  pass  app2_in_file     the application lies within the "
      "file\n  fail  app2_crc         the stored CRC is " +
      crc2 + " but the application's bytes give " + hex(model_crc(Bytes(6, 0xFF))) +
      "\n  warn  app2_padding     1 byte after the application in its last page is not 0xFF, "
      "the first at 0x00006000 (a long bootloader may have run on there)\n"
      "  fail  file_length      the file is 0x6001 bytes long, but the application sizes make "
      "0x6000\n  warn  bootloader_size  1 byte of the header page after the header is not "
      "0xFF, the first at 0x00002800: the bootloader is longer than its 0x2000-byte region (were "
      "the bootloader and APP1 swapped?)\n  warn  app1_load_addr   the load address 0x10000010 "
      "is not a multiple of 0x1000 (sector-aligned): a typo, or the status and the load address "
      "swapped?\n  pass  app2_load_addr   the load address is a multiple of 0x1000\n"
      "  pass  app1_size        the application is not empty\n"
      "  pass  app2_size        the application is not empty\n"
      "  warn  active_app       no application is active: there is nothing to start\n"
      "  pass  load_overlap     the load ranges of APP1 and APP2 do not overlap\n"
      "  pass  app1_load_window the load range does not cross 0x11000000\n"
      "  pass  app2_load_window the load range does not cross 0x11000000\n"
      "summary: FAIL: 12 passed, 4 warnings, 9 failed, 0 skipped\n";
  run = inspect({s.file("bad.bin")});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out,
            "image:  " + s.file("bad.bin") +
                "\nlength: 0x00006001 (24577 bytes, 7 pages, the last one partial)\n\nAPP1\n"
                "  status:       2 (neither active nor invalid)\n"
                "  flags:        0x00018000 (bits other than 0x00008000 set)\n"
                "  load address: 0x10000010 (below the high window: stored as is)\n"
                "  offset:       0x00003000\n  size:         0x00001001 (4097 bytes, 2 pages)\n"
                "  crc:          stored 0x12345678, computed " +
                crc1 +
                "\nAPP2\n  status:       0 (invalid)\n  flags:        0x00008000 (flag bit set; "
                "disagrees: the application is not active)\n  load address: 0x11000000 (in the "
                "high window: stored word-reversed)\n  offset:       0x00005800\n"
                "  size:         0x00000006 (6 bytes, 1 page)\n  crc:          stored " +
                crc2 + ", computed " + hex(model_crc(Bytes(6, 0xFF))) +
                " (over the un-reversed bytes)\n\nheader crc: stored " + header_crc +
                ", computed " + bad_crc + "\n" + checks);
  EXPECT_EQ(run.err, "");
  // The same facts and verdicts in JSON, the checks taken from the expected lines above, and
  // the quiet form: the lines of failures and warnings, and the summary.
  std::string bad_checks;
  std::string quiet;
  std::istringstream lines(checks.substr(checks.find("  pass")));
  for (std::string line; std::getline(lines, line) && line.rfind("summary: ", 0) != 0;) {
    const std::string verdict = line.substr(2, 4);
    const std::string name = line.substr(8, line.find(' ', 8) - 8);
    bad_checks += std::string(bad_checks.empty() ? "" : ",\n") + "    {\"name\": \"" + name +
                  "\", \"verdict\": \"" + verdict +
                  "\", \"detail\": " + json_quoted(line.substr(25)) + "}";
    quiet += verdict == "fail" || verdict == "warn" ? line + "\n" : "";
  }
  const auto number = [](std::uint32_t n) { return std::to_string(n); };
  EXPECT_EQ(inspect({"--json", s.file("bad.bin")}).out,
            "{\n  \"file\": \"" + s.file("bad.bin") +
                "\", \"file_hex\": null,\n  \"length\": 24577,\n  \"pages\": 7,\n"
                "  \"header_present\": true,\n  \"app1\": {\n    \"status\": 2,\n"
                "    \"active\": false,\n    \"flags\": 98304,\n    \"flag_set\": true,\n"
                "    \"flag_allowed\": false,\n    \"load_addr\": 268435472,\n"
                "    \"high_window\": false,\n    \"offset\": 12288,\n    \"size\": 4097,\n"
                "    \"pages\": 2,\n    \"in_file\": true,\n    \"crc_stored\": 305419896,\n"
                "    \"crc_computed\": " +
                number(model_crc(image.data() + 0x3000, 0x1001)) +
                "\n  },\n  \"app2\": {\n    \"status\": 0,\n    \"active\": false,\n"
                "    \"flags\": 32768,\n    \"flag_set\": true,\n    \"flag_allowed\": false,\n"
                "    \"load_addr\": 285212672,\n    \"high_window\": true,\n"
                "    \"offset\": 22528,\n    \"size\": 6,\n    \"pages\": 1,\n"
                "    \"in_file\": true,\n    \"crc_stored\": " +
                number(model_crc(app2)) + ",\n    \"crc_computed\": " +
                number(model_crc(Bytes(6, 0xFF))) + "\n  },\n  \"header_crc_stored\": " +
                number(model_crc(read_bytes(good).data() + 0x2000, 0xF0)) +
                ",\n  \"header_crc_computed\": " + number(model_crc(image.data() + 0x2000, 0xF0)) +
                ",\n  \"checks\": [\n" + bad_checks +
                "\n  ],\n  \"passed\": 12,\n  \"warnings\": 4,\n  \"failed\": 9,\n"
                "  \"skipped\": 0,\n  \"result\": \"fail\"\n}\n");
  run = inspect({"--quiet", s.file("bad.bin")});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, quiet + "summary: FAIL: 12 passed, 4 warnings, 9 failed, 0 skipped\n");
  EXPECT_EQ(inspect({"--quiet", good}).out,
            "summary: PASS: 25 passed, 0 warnings, 0 failed, 0 skipped\n");
  // --quiet leaves the JSON whole; without --map it has no map.
  const std::size_t map_at = json.find("  \"map\": [");
  const std::size_t map_end = json.find("  \"result\"");
  EXPECT_EQ(inspect({"--quiet", "--json", good}).out,
            json.substr(0, map_at) + json.substr(map_end));

  // A file without a header, whole: as it stands, and as a read-back with its map in both
  // forms, the read-back's facts where each form puts them.
  const std::string empty = s.file("empty.bin");
  write_bytes(empty, {});
  run = inspect({empty});
  EXPECT_EQ(run.exit_status, 1);
  const std::string no_header = "image:  " + empty +
                                "\nlength: 0x00000000 (0 bytes, 0 pages)\nheader: not in the file, "
                                "which ends before 0x00002100\n";
  std::string skips = "  fail  min_length       the file is empty\n";
  std::string json_skips =
      "    {\"name\": \"min_length\", \"verdict\": \"fail\", \"detail\": \"the file is empty\"}";
  for (std::size_t i = 1; i < std::size(passes); ++i) {
    char line[160];
    std::snprintf(line, sizeof line, "  skip  %-16s the header is not in the file\n",
                  passes[i].first);
    skips += line;
    json_skips += std::string(",\n    {\"name\": \"") + passes[i].first +
                  "\", \"verdict\": \"skip\", \"detail\": \"the header is not in the file\"}";
  }
  EXPECT_EQ(run.out, no_header + "\nchecks:\n" + skips +
                         "summary: FAIL: 0 passed, 0 warnings, 1 failed, 24 skipped\n");
  EXPECT_EQ(run.err, "");
  run = inspect({"--readback", "--map", empty});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(
      run.out,
      "image:  " + empty +
          "\nlength: 0x00000000 (0 bytes, 0 pages)\nread-back: 0x00000000 bytes; the "
          "image's end is unknown, so the whole file is judged as the image (see "
          "readback_tail)\nheader: not in the file, which ends before 0x00002100\n\nchecks:\n" +
          skips +
          "  warn  readback_tail    the header is not in the file, so the image's end is "
          "unknown\nsummary: FAIL: 0 passed, 1 warning, 1 failed, 24 skipped\n\nmap:\n"
          "  offset      end         length      |                                |  what\n"
          "  0x00000000  0x00002000  0x00002000  |################################|  "
          "bootloader (past the end of the file)\n  (the file ends before the header; "
          "nothing after it can be laid out)\n");
  EXPECT_EQ(inspect({"--readback", "--map", "--json", empty}).out,
            "{\n  \"file\": \"" + empty +
                "\", \"file_hex\": null,\n  \"length\": 0,\n  \"pages\": 0,\n"
                "  \"header_present\": false,\n  \"app1\": null,\n  \"app2\": null,\n"
                "  \"header_crc_stored\": null,\n  \"header_crc_computed\": null,\n"
                "  \"checks\": [\n" +
                json_skips +
                ",\n    {\"name\": \"readback_tail\", \"verdict\": \"warn\", \"detail\": \"the "
                "header is not in the file, so the image's end is unknown\"}\n  ],\n"
                "  \"passed\": 0,\n  \"warnings\": 1,\n  \"failed\": 1,\n  \"skipped\": 24,\n"
                "  \"map\": [\n"
                "    {\"offset\": 0, \"end\": 8192, \"length\": 8192, \"name\": \"bootloader\"}\n"
                "  ],\n  \"readback\": {\"file_length\": 0, \"end_known\": false, \"tail_bytes\": "
                "null, \"tail_not_ff\": null, \"tail_first_not_ff\": null},\n"
                "  \"result\": \"fail\"\n}\n");

  // Files that cannot be read: status 2, the path and the system's reason on standard error,
  // nothing on the output.
  const std::string fifo = s.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> unreadable[] = {
      {s.path, "Is a directory"},
      {s.file("missing.bin"), "No such file or directory"},
      {s.file("missing-dir/image.bin"), "No such file or directory"},
      {fifo, "not a regular file (a pipe, device or socket)"},
      {"-", "No such file or directory"},  // a lone dash names a file, not an option
  };
  for (const auto& [path, reason] : unreadable) {
    SCOPED_TRACE(path);
    run = inspect({path});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "velmora-inspect: " + path + ": cannot open: " + reason + "\n");
  }

  // An image of 2 GiB and more is read as any other, its length in 64 bits.
  const std::string huge = s.file("huge.bin");
  write_bytes(huge, {});
  fs::resize_file(huge, (std::uintmax_t{1} << 32) + 0x1000);  // sparse: no disk space used
  run = inspect({huge});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find("\nlength: 0x100001000 (4294971392 bytes, 1048577 pages)\n"),
            std::string::npos)
      << run.out;

  // Usage errors: status 2 and the usage lines on standard error; with --json, one JSON
  // object that says why on standard output.
  const std::string usage_lines =
      "Usage: velmora-inspect [--json] [--quiet] [--map] [--readback] [--extract DIR [--force]] "
      "IMAGE\n       velmora-inspect [--json] [--quiet] [--readback] --against BOOT APP1 "
      "LOAD_ADDR1 STATUS1 APP2 LOAD_ADDR2 STATUS2 IMAGE\n       velmora-inspect [--json] "
      "[--quiet] --diff IMAGE_A IMAGE_B\n";
  const std::string diff_misuse =
      "--diff takes two images and no other image, --against, --extract, --map or --readback";
  const std::pair<std::vector<std::string>, std::string> misuses[] = {
      {{}, "no image given"},
      {{"--bogus", good}, "unknown option: --bogus"},
      {{good, good}, "more than one image given: " + good + " and " + good},
      {{"--extract"}, "--extract needs a directory"},
      {{"--force", good}, "--force only applies to --extract"},
      {{"--extract=", good}, "unknown option: --extract="},
      {{"--against", "boot.bin", "app1.bin", "0x10000000", "1", "app2.bin", "0x11000000"},
       "--against needs BOOT APP1 LOAD_ADDR1 STATUS1 APP2 LOAD_ADDR2 STATUS2"},
      {{"--map", "--against", "b", "a1", "0x10000000", "1", "a2", "0x11000000", "1", good},
       "--against cannot be combined with --extract or --map"},
      {{"--against", "b", "a1", "0x10000000", "1", "a2", "0x11000000", "1"}, "no image given"},
      {{"--diff", good}, "--diff needs IMAGE_A IMAGE_B"},
      {{"--diff", good, good, good}, diff_misuse},
      {{"--readback", "--diff", good, good}, diff_misuse},
      {{"--diff", good, good, "--against", "b", "a1", "0", "1", "a2", "0", "1"}, diff_misuse},
      {{"--quiet", "--map", good}, "--quiet cannot be combined with --map"}};
  for (const auto& [args, message] : misuses) {
    SCOPED_TRACE(message);
    run = inspect(args);
    EXPECT_EQ(run.exit_status, 2) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "velmora-inspect: " + message + "\n" + usage_lines +
                           "Try 'velmora-inspect --help' for more.\n");
    std::vector<std::string> with_json = args;
    with_json.insert(with_json.begin(), "--json");
    run = inspect(with_json);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_TRUE(is_json(run.out)) << run.out;
    EXPECT_EQ(run.out,
              "{\n  \"result\": \"error\",\n  \"error\": " + json_quoted(message) + "\n}\n");
  }
  // After "--" even "--json" is an image: the usage error is not answered in JSON.
  run = inspect({"--bogus", "--", "--json"});
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.out, "");

  run = inspect({"--help"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out.rfind(usage_lines, 0), 0u);
  // Every byte of the help, by its length and checksum.
  EXPECT_EQ(run.out.size(), 1967u);
  EXPECT_EQ(model_crc(reinterpret_cast<const std::uint8_t*>(run.out.data()), run.out.size()),
            0xF3E85623u);
  run = inspect({"--version"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out.rfind("velmora-inspect ", 0), 0u);
  EXPECT_EQ(run.out.back(), '\n');
}

TEST(VelmoraInspect, LongBootloaderOnlyWarns) {
  // A bootloader of 0x3800 bytes runs on into APP1's page behind APP1's 0x10 bytes.
  std::mt19937 rng(13);
  const ScratchDir s;
  const App app1{random_bytes(rng, 0x10)};
  compose(s, random_bytes(rng, 0x3800), app1, App{});
  const ChildResult run = inspect({"--extract", s.file("out"), s.file("image.bin")});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_NE(run.out.find("  warn  app1_padding "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\n  size:         0x00000000 (0 bytes, 0 pages)\n"), std::string::npos);
  EXPECT_NE(run.out.find("summary: PASS: 22 passed, 3 warnings, 0 failed"), std::string::npos);
  EXPECT_EQ(read_bytes(s.file("out/app1.bin")), app1.bytes);
}

TEST(VelmoraInspect, ExtractReplacesFilesOnlyWithForce) {
  std::mt19937 rng(17);
  const ScratchDir s;
  const App app1{random_bytes(rng, 0x123)};
  compose(s, {}, app1, App{random_bytes(rng, 0x45), 0x11000000, "1"});
  const std::string out = s.file("out");
  ChildResult run = inspect({"--extract", out, s.file("image.bin")});
  ASSERT_EQ(run.exit_status, 0);
  EXPECT_TRUE(run.out.ends_with("\nextracted boot.bin, header.bin, app1.bin and app2.bin into " +
                                out + "\n"));

  // One existing file is enough to refuse, and a refused run writes none of the four.
  const Bytes marker = {'k', 'e', 'e', 'p'};
  for (const char* name : {"/boot.bin", "/header.bin", "/app1.bin"}) {
    fs::remove(out + name);
  }
  write_bytes(out + "/app2.bin", marker);
  run = inspect({"--extract", out, s.file("image.bin")});
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_NE(run.err.find(out + "/app2.bin: exists already"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(out + "/boot.bin") || fs::exists(out + "/app1.bin"));
  EXPECT_EQ(read_bytes(out + "/app2.bin"), marker);

  run = inspect({"--force", "--extract=" + out, s.file("image.bin")});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(read_bytes(out + "/app1.bin"), app1.bytes);
  EXPECT_EQ(read_bytes(out + "/boot.bin"), Bytes(0x2000, 0xFF));

  // Parts that lie past the end of the file are not extracted at all: here APP1 is whole,
  // APP2 cut off.
  Bytes cut = read_bytes(s.file("image.bin"));
  cut.resize(0x4000);
  write_bytes(s.file("cut.bin"), cut);
  run = inspect({"--extract", s.file("cut-out"), s.file("cut.bin")});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err,
            "velmora-inspect: cannot extract: the header or an application lies past the end of "
            "the file\n");
  EXPECT_FALSE(fs::exists(s.file("cut-out")));

  // A symbolic link that points nowhere exists all the same: writing would follow it.
  fs::remove(out + "/boot.bin");
  fs::create_symlink(s.file("nowhere"), out + "/boot.bin");
  run = inspect({"--extract", out, s.file("image.bin")});
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.err, "velmora-inspect: " + out + "/boot.bin: exists already (use --force to " +
                         "replace it)\n");
  EXPECT_FALSE(fs::exists(s.file("nowhere")));

  // A target directory that is a file cannot be written.
  run = inspect({"--extract", s.file("image.bin"), s.file("image.bin")});
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.err, "velmora-inspect: " + s.file("image.bin") +
                         ": cannot create the directory: Not a directory\n");
}

TEST(InspectImage, WarnsOnLikelyMistakesOfTheCommandLine) {
  std::mt19937 rng(23);
  const ScratchDir s;
  write_bytes(s.file("boot.bin"), random_bytes(rng, 0x100));
  write_bytes(s.file("app1.bin"), random_bytes(rng, 0x2800));
  write_bytes(s.file("app2.bin"), random_bytes(rng, 0x800));
  write_bytes(s.file("empty.bin"), {});
  const std::string boot = s.file("boot.bin");
  const std::string app1 = s.file("app1.bin");
  const std::string app2 = s.file("app2.bin");
  struct Case {
    const char* what;
    std::vector<std::string> words;
    const char* warns;
  };
  const Case cases[] = {
      {"as meant", {boot, app1, "0x08004000", "1", app2, "0x11000000", "1"}, ""},
      {"status and load address swapped",
       {boot, app1, "1", "0x08004000", app2, "0x11000000", "1"},
       "app1_load_addr app1_invalid"},
      {"a letter O typed for a zero",
       {boot, app1, "0x0800O400", "1", app2, "0x11000000", "1"},
       "app1_load_addr"},
      {"bootloader and APP1 swapped",
       {app1, boot, "0x08004000", "1", app2, "0x11000000", "1"},
       "bootloader_size"},
      {"no application active",
       {boot, app1, "0x08004000", "0", app2, "0x11000000", "0"},
       "active_app"},
      {"an empty APP2",
       {boot, app1, "0x08004000", "1", s.file("empty.bin"), "0x11000000", "1"},
       "app2_size"},
      {"both applications loaded at one address",
       {boot, app1, "0x08004000", "1", app2, "0x08004000", "1"},
       "load_overlap"},
      {"APP1 loaded across the window's start, onto APP2",
       {boot, app1, "0x10FFF000", "1", app2, "0x11000000", "1"},
       "load_overlap app1_load_window"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> words = c.words;
    words.push_back(s.file("image.bin"));
    ASSERT_EQ(run_velmora(words).exit_status, 0);
    const Bytes image = read_bytes(s.file("image.bin"));
    const InspectReport r = inspect_copy(image, image.size());
    EXPECT_EQ(checks_with(r, Verdict::fail), "");
    EXPECT_EQ(checks_with(r, Verdict::warn), c.warns);
  }
}

TEST(InspectAgainst, NamesExactlyTheOneThingThatDiffers) {
  // A bootloader of 0x2400 bytes runs on into the header page; APP1 0x1234 bytes as is at
  // 0x3000; APP2 0x906 bytes at 0x5000, reversed and flagged; L = 0x6000.
  std::mt19937 rng(29);
  const Bytes boot = random_bytes(rng, 0x2400);
  const Bytes app1 = random_bytes(rng, 0x1234);
  const Bytes app2 = random_bytes(rng, 0x906);
  const ScratchDir s;
  const Bytes image = compose(s, boot, App{app1, 0x10000000, "1"}, App{app2, 0x11000000, "2"});
  ASSERT_EQ(image.size(), 0x6000u);

  // One image byte changed at a time: header fields by name, other bytes by region.
  const std::pair<std::size_t, const char*> image_edits[] = {
      {0x2000, "app1.status"},
      {0x2005, "app1.flags"},
      {0x200B, "app1.crc"},
      {0x200C, "app1.offset"},
      {0x2010, "app1.size"},
      {0x2023, "app1.load_addr"},
      {0x2030, "app2.status"},
      {0x2035, "app2.flags"},
      {0x2038, "app2.crc"},
      {0x203D, "app2.offset"},
      {0x2041, "app2.size"},
      {0x2050, "app2.load_addr"},
      {0x20F0, "header_crc"},
      {0x2014, "header_reserved:1@0x14/0x2014"},
      {0x20FF, "header_reserved:1@0xff/0x20ff"},
      {0x0000, "bootloader:1@0x0/0x0"},
      {0x1FFF, "bootloader:1@0x1fff/0x1fff"},
      {0x2300, "header_page_fill:1@0x200/0x2300"},  // a bootloader byte run on
      {0x2800, "header_page_fill:1@0x700/0x2800"},  // a 0xFF
      {0x2FFF, "header_page_fill:1@0xeff/0x2fff"},
      {0x3010, "app1:1@0x10/0x3010"},
      {0x4233, "app1:1@0x1233/0x4233"},
      {0x4234, "app1_fill:1@0x0/0x4234"},
      {0x4FFF, "app1_fill:1@0xdcb/0x4fff"},
      {0x5000, "app2:1@0x0/0x5000"},
      {0x5905, "app2:1@0x905/0x5905"},
      {0x5FFF, "app2_fill:1@0x6f9/0x5fff"},
  };
  for (const auto& [at, named] : image_edits) {
    SCOPED_TRACE(named);
    Bytes edited = image;
    edited[at] ^= 0x5A;
    EXPECT_EQ(differences(against(boot, app1, "0x10000000", "1", app2, "0x11000000", "2", edited)),
              named);
  }
  // velmora's own refusals, at their edges; inputs of 2 GiB are refused unread.
  EXPECT_EQ(refusal(0x3000, 0), "");
  EXPECT_EQ(refusal(0x3001, 0), "b: velmora refuses it: the bootloader is longer than the image");
  EXPECT_EQ(refusal(0, 0x80000000), "a1: velmora refuses it: 2 GiB or larger");
  EXPECT_EQ(refusal(0, 0x7FFFD000),
            "a1: velmora refuses these applications: the image would be 2 GiB or larger");

  Bytes longer = image;
  longer.resize(0x7000, 0xFF);
  EXPECT_EQ(differences(against(boot, app1, "0x10000000", "1", app2, "0x11000000", "2", longer)),
            "length");
  // The bytes past a cut are not compared; the length says it.
  const Bytes cut(image.begin(), image.begin() + 0x5000);
  EXPECT_EQ(differences(against(boot, app1, "0x10000000", "1", app2, "0x11000000", "2", cut)),
            "length");

  // A bootloader that runs on through APP1's padding into APP2's page: the fills hold its
  // bytes, and only APP2's own bytes are written over it.
  const Bytes long_boot = random_bytes(rng, 0x5800);
  const Bytes app1_pages = random_bytes(rng, 0x1800);
  const Bytes app2_short = random_bytes(rng, 0x10);
  Bytes run_on =
      compose(s, long_boot, App{app1_pages, 0x11000000, "2"}, App{app2_short, 0x11000000, "1"});
  ASSERT_EQ(run_on.size(), 0x6000u);
  EXPECT_EQ(differences(against(long_boot, app1_pages, "0x11000000", "2", app2_short, "0x11000000",
                                "1", run_on)),
            "");
  run_on[0x5010] ^= 1;
  EXPECT_EQ(differences(against(long_boot, app1_pages, "0x11000000", "2", app2_short, "0x11000000",
                                "1", run_on)),
            "app2_fill:1@0x0/0x5010");

  // One word changed at a time, as the words of velmora's command line.
  EXPECT_EQ(differences(against(boot, app1, "1", "0x10000000", app2, "0x11000000", "2", image)),
            "app1.status app1.load_addr header_crc");
  EXPECT_EQ(differences(against(boot, app1, "0x1000O000", "1", app2, "0x11000000", "2", image)),
            "app1.load_addr header_crc");
  EXPECT_EQ(differences(against(boot, app1, "0x10000000", "1", app2, "0x11000000", "1", image)),
            "app2.flags header_crc");
  // APP2 below the high window is expected as is: every word whose bytes are not a palindrome
  // differs from the image's reversed one.
  // The words' first bytes differ here (ASSERT below), so the first difference is at 0.
  std::int64_t unreversed = 0;
  for (std::size_t i = 0; i < 0x904; ++i) {
    unreversed += app2[i] != app2[i - i % 4 + 3 - i % 4] ? 1 : 0;
  }
  ASSERT_NE(app2[0], app2[3]);
  EXPECT_EQ(
      differences(against(boot, app1, "0x10000000", "1", app2, "0x10000000", "2", image)),
      "app2.flags app2.load_addr header_crc app2:" + std::to_string(unreversed) + "@0x0/0x5000");
}

TEST(VelmoraInspect, AgainstReportInTextQuietTextAndJson) {
  // APP2's status ff is kept as -1: active, without the flag, as status 1 writes it. The dump
  // is the image with two bytes of APP1 changed and a tail of 0x100 bytes, one not 0xFF; the
  // letter O in load_addr1 is skipped, so velmora reads 0x01000000.
  const ScratchDir s;
  const Bytes boot = random_bytes(0x40, 31);
  const Bytes app1 = random_bytes(0x1000, 32);
  const Bytes app2 = random_bytes(0x20, 33);
  const std::string paths[] = {s.file("boot.bin"), s.file("app1.bin"), s.file("app2.bin")};
  write_bytes(paths[0], boot);
  write_bytes(paths[1], app1);
  write_bytes(paths[2], app2);
  const Bytes image = model_image(boot, {app1, 0x10000000, 1}, {app2, 0x11000000, -1});
  const Bytes typo = model_image(boot, {app1, 0x01000000, 1}, {app2, 0x11000000, -1});
  Bytes dump = image;
  dump[0x3010] ^= 1;
  dump[0x3013] ^= 1;
  dump.resize(0x5100, 0xFF);
  dump[0x5080] = 0;
  write_bytes(s.file("image.bin"), image);
  write_bytes(s.file("dump.bin"), dump);
  const auto against = [&](std::vector<std::string> words, const char* load1, const char* status2,
                           const char* file) {
    words.insert(words.end(), {"--against", paths[0], paths[1], load1, "1", paths[2], "0x11000000",
                               status2, s.file(file)});
    return inspect(words);
  };

  // Identical: no read-back line, and no title over an empty list.
  ChildResult run = against({}, "0x10000000", "1", "image.bin");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_TRUE(run.out.ends_with(
      "\nlength:     image 0x00005000, inputs give 0x00005000\n"
      "result: IDENTICAL: the image is exactly what velmora writes from these inputs\n"))
      << run.out;
  EXPECT_TRUE(against({"--json"}, "0x10000000", "1", "image.bin")
                  .out.ends_with("\n  \"warnings\": [],\n  \"differences\": [],\n"
                                 "  \"result\": \"identical\"\n}\n"));

  const std::pair<const char*, std::string> warnings[] = {
      {"load_addr1_skipped_bytes",
       "load_addr1 \"0x1000O000\" holds bytes velmora skips (O): it read 0x01000000; 0x10000000 "
       "meant, a letter typed for a digit?"},
      {"status2_negative",
       "status2 \"ff\" gives 0xff, which velmora keeps as -1 (active): a negative status never "
       "sets the high window's flag; 1 or 2 meant?"}};
  std::string warning_rows;
  std::string warning_json;
  for (const auto& [name, detail] : warnings) {
    char row[48];
    std::snprintf(row, sizeof row, "  warn  %-16s ", name);
    warning_rows += row + detail + "\n";
    warning_json += std::string(warning_json.empty() ? "" : ",\n") + "    {\"name\": \"" + name +
                    "\", \"detail\": " + json_quoted(detail) + "}";
  }
  const std::uint32_t header_crc[] = {model_crc(image.data() + 0x2000, 0xF0),
                                      model_crc(typo.data() + 0x2000, 0xF0)};
  const std::string fields =
      "  app1.load_addr: image 0x10000000, inputs give 0x01000000\n"
      "  header_crc: image " +
      hex(header_crc[0]) + ", inputs give " + hex(header_crc[1]) +
      "\n  app1: 2 bytes differ, the first at 0x00000010 in the region (0x00003010 in the "
      "image)\n";
  const std::string result = "result: DIFFERENT: 4 differences\n";
  run = against({"--readback"}, "0x1000O000", "ff", "dump.bin");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "image:      " + s.file("dump.bin") + "\nbootloader: " + paths[0] +
                " (0x40 bytes)\nAPP1:       " + paths[1] +
                " (0x1000 bytes), load address 0x01000000, status 1\nAPP2:       " + paths[2] +
                " (0x20 bytes), load address 0x11000000, status -1\n"
                "length:     image 0x00005100, inputs give 0x00005000\n"
                "read-back:  0x100 bytes after the image's end\n\nwarnings:\n" +
                warning_rows + "\ndifferences:\n" + fields +
                "  readback_tail: 1 byte differs, the first at 0x00000080 in the region "
                "(0x00005080 in the image)\n" +
                result);
  // Without --readback the tail is a wrong length.
  run = against({"--quiet"}, "0x1000O000", "ff", "dump.bin");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, warning_rows + fields +
                         "  length: image 0x00005100, inputs give 0x00005000 (bytes that only "
                         "one side holds are not compared)\n" +
                         result);
  const auto file = [](const std::string& path, int length) {
    return "{\"file\": \"" + path + "\", \"file_hex\": null, \"length\": " + std::to_string(length);
  };
  run = against({"--json", "--readback"}, "0x1000O000", "ff", "dump.bin");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out,
            "{\n  \"file\": \"" + s.file("dump.bin") + "\", \"file_hex\": null,\n" +
                "  \"inputs\": {\n    \"bootloader\": " + file(paths[0], 64) +
                "},\n    \"app1\": " + file(paths[1], 4096) +
                ", \"load_addr\": 16777216, \"status\": 1},\n    \"app2\": " + file(paths[2], 32) +
                ", \"load_addr\": 285212672, \"status\": -1}\n  },\n"
                "  \"length\": 20736,\n  \"expected_length\": 20480,\n"
                "  \"readback_tail_bytes\": 256,\n  \"warnings\": [\n" +
                warning_json +
                "\n  ],\n  \"differences\": [\n"
                "    {\"what\": \"app1.load_addr\", \"kind\": \"field\", \"image\": 268435456, "
                "\"inputs\": 16777216},\n"
                "    {\"what\": \"header_crc\", \"kind\": \"field\", \"image\": " +
                std::to_string(header_crc[0]) + ", \"inputs\": " + std::to_string(header_crc[1]) +
                "},\n"
                "    {\"what\": \"app1\", \"kind\": \"bytes\", \"count\": 2, \"first_offset\": 16, "
                "\"first_image_offset\": 12304},\n"
                "    {\"what\": \"readback_tail\", \"kind\": \"bytes\", \"count\": 1, "
                "\"first_offset\": 128, \"first_image_offset\": 20608}\n"
                "  ],\n  \"result\": \"different\"\n}\n");

  // An input that ends before its reported length (a pseudo-file of the kernel's) is named.
  for (const char* pseudo : {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/power/state",
                             "/sys/kernel/profiling", "/sys/devices/system/cpu/online"}) {
    std::error_code ec;
    if (fs::file_size(pseudo, ec) != 4096 || read_bytes(pseudo).size() >= 4096) {
      continue;
    }
    run = inspect({"--against", pseudo, paths[1], "0x10000000", "1", paths[2], "0x11000000", "1",
                   s.file("image.bin")});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err, std::string("velmora-inspect: ") + pseudo +
                           ": cannot read: the file ended early (it changed while read)\n");
    break;
  }

  // An input that cannot be read: status 2, its path and the reason, on standard error and,
  // with --json, as the one object on standard output.
  const std::string missing = s.file("missing.bin");
  const std::string reason = missing + ": cannot open: No such file or directory";
  for (const char* form : {"--json", "--quiet"}) {
    run = inspect({form, "--against", paths[0], paths[1], "0x10000000", "1", missing, "0x11000000",
                   "1", s.file("image.bin")});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, std::string(form) == "--json"
                           ? "{\n  \"result\": \"error\",\n  \"error\": \"" + reason + "\"\n}\n"
                           : "");
    EXPECT_EQ(run.err, "velmora-inspect: " + reason + "\n");
  }
}

TEST(VelmoraInspect, MapShowsEachRegionWithAProportionalBar) {
  std::mt19937 rng(37);
  const ScratchDir s;
  compose(s, random_bytes(rng, 0x100), App{random_bytes(rng, 0x1234)},
          App{random_bytes(rng, 0x906), 0x11000000, "1"});
  // 32 marks span the 0x6000 bytes: one mark is 0x300 bytes, and each region's ends are
  // rounded to the nearest mark. The header (0x2000-0x2100) rounds to none and takes the mark
  // after the bootloader's; the rest of the header page then starts one mark later.
  const auto bar = [](std::size_t from, std::size_t to) {
    return "|" + std::string(from, '.') + std::string(to - from, '#') + std::string(32 - to, '.') +
           "|  ";
  };
  const std::string map = "\nmap:\n  offset      end         length      |" + std::string(32, ' ') +
                          "|  what\n" + "  0x00000000  0x00002000  0x00002000  " + bar(0, 11) +
                          "bootloader\n" + "  0x00002000  0x00002100  0x00000100  " + bar(11, 12) +
                          "header\n" + "  0x00002100  0x00003000  0x00000f00  " + bar(12, 16) +
                          "rest of the header page\n" + "  0x00003000  0x00004234  0x00001234  " +
                          bar(16, 22) + "APP1\n" + "  0x00004234  0x00005000  0x00000dcc  " +
                          bar(22, 27) + "APP1 padding\n" +
                          "  0x00005000  0x00005906  0x00000906  " + bar(27, 30) + "APP2\n" +
                          "  0x00005906  0x00006000  0x000006fa  " + bar(30, 32) + "APP2 padding\n";
  ChildResult run = inspect({"--map", s.file("image.bin")});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_NE(run.out.find(map), std::string::npos) << run.out;

  run = inspect({"--map", "--json", s.file("image.bin")});
  EXPECT_TRUE(is_json(run.out)) << run.out;
  EXPECT_NE(run.out.find("{\"offset\": 12288, \"end\": 16948, \"length\": 4660, \"name\": "
                         "\"app1\"}"),
            std::string::npos)
      << run.out;

  // Any sizes, a huge image too: a region without bytes marks nothing, every other region
  // marks at least one column, no column is marked twice, and every row is as long as the
  // heading. In the last, APP1 is pushed right of where it starts and its padding is empty:
  // APP2 still starts after APP1's columns.
  const Bytes good = read_bytes(s.file("image.bin"));
  const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
      {0, 0x906},          {0x1234, 0}, {0, 0}, {0x1000, 0x1000}, {0x7FFFF000, 0x7FFFFFFF},
      {0x1000, 0x7FFFFFFF}};
  for (const auto& [size1, size2] : sizes) {
    SCOPED_TRACE(hex(size1) + " " + hex(size2));
    Bytes forged = good;
    put_le32(forged.data(), 0x2010, size1);
    put_le32(forged.data(), 0x2040, size2);
    put_le32(forged.data(), 0x203C,
             static_cast<std::uint32_t>(0x3000 + (size1 + 0xFFFull) / 0x1000 * 0x1000));
    write_bytes(s.file("forged.bin"), forged);
    run = inspect({"--map", s.file("forged.bin")});
    const std::string table = run.out.substr(run.out.find("\nmap:\n") + 6);
    std::vector<std::string> rows;
    for (std::size_t at = 0, end; (end = table.find('\n', at)) != std::string::npos; at = end + 1) {
      rows.push_back(table.substr(at, end - at));
    }
    ASSERT_EQ(rows.size(), 8u);
    const std::size_t bar_at = rows[0].find('|');
    std::string used(32, ' ');
    for (std::size_t i = 1; i < rows.size(); ++i) {
      const std::string& row = rows[i];
      SCOPED_TRACE(row);
      ASSERT_EQ(row.find('|'), bar_at);
      ASSERT_EQ(row[bar_at + 33], '|');
      const std::string marks = row.substr(bar_at + 1, 32);
      // The third column is the length: 0 for an empty region.
      std::istringstream columns(row);
      std::string offset;
      std::string end;
      std::string length;
      columns >> offset >> end >> length;
      EXPECT_EQ(marks.find('#') == std::string::npos, std::stoull(length, nullptr, 16) == 0);
      for (std::size_t c = 0; c < 32; ++c) {
        if (marks[c] == '#') {
          EXPECT_EQ(used[c], ' ') << "column " << c << " marked twice";
          used[c] = '#';
        }
      }
    }
  }
}

TEST(VelmoraInspect, JsonIsUtf8ForAnyPathAndKeepsItsBytes) {
  // "\xb5\xda" is not UTF-8 (a GBK path, say); "\xd2\xbb" and "\xc3\xa9" happen to be.
  const ScratchDir s;
  const Bytes image = compose(s, {}, App{{1, 2, 3}}, App{{4}});
  const std::string odd = s.file("\xb5\xda\xd2\xbb.bin");
  const std::string fine = s.file("caf\xc3\xa9.bin");
  write_bytes(odd, image);
  write_bytes(fine, image);
  std::string odd_hex;
  for (const char ch : odd) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>(static_cast<unsigned char>(ch)));
    odd_hex += two;
  }
  ChildResult run = inspect({"--json", odd});
  EXPECT_TRUE(is_json(run.out)) << run.out;
  EXPECT_NE(run.out.find("\"file\": \"" + s.path +
                         "/\\ufffd\\ufffd\xd2\xbb.bin\", \"file_hex\": \"" + odd_hex + "\",\n"),
            std::string::npos)
      << run.out;
  run = inspect({"--json", fine});
  EXPECT_NE(run.out.find("\"file\": \"" + fine + "\", \"file_hex\": null,\n"), std::string::npos)
      << run.out;
  // Quote, backslash and control characters escaped, in a path and in any text.
  const std::string weird = s.file("we\"ird\\name\t.bin");
  write_bytes(weird, image);
  run = inspect({"--json", weird});
  EXPECT_TRUE(is_json(run.out)) << run.out;
  EXPECT_NE(run.out.find("\"file\": \"" + s.path +
                         "/we\\\"ird\\\\name\\u0009.bin\", \"file_hex\": null,\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(json_string("a\"b\\c\n\x01\x1f "), "\"a\\\"b\\\\c\\u000a\\u0001\\u001f \"");

  // Bytes that a strict decoder turns away: a lone continuation, overlong forms, a
  // surrogate, values past U+10FFFF, a sequence cut short; DEL is a control character.
  const std::pair<std::string, std::string> texts[] = {
      {"\x80", "\\ufffd"},
      {"\xc0\xaf", "\\ufffd\\ufffd"},
      {"\xe0\x9f\xbf", "\\ufffd\\ufffd\\ufffd"},
      {"\xf0\x8f\xbf\xbf", "\\ufffd\\ufffd\\ufffd\\ufffd"},
      {"\xed\xa0\x80", "\\ufffd\\ufffd\\ufffd"},
      {"\xf4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},
      {"\xf5\x80\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},
      {"\xe2\x82", "\\ufffd\\ufffd"},
      {"\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf",
       "\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"},
      {"a\x7f", "a\\u007f"},
  };
  for (const auto& [text, quoted] : texts) {
    EXPECT_EQ(json_string(text), "\"" + quoted + "\"");
  }
}

TEST(VelmoraInspect, StrictNamesTheWarningsNotAllowedAndThoseAllowedInBothForms) {
  const std::vector<CheckResult> checks = {{"app1_load_addr", Verdict::warn, ""},
                                           {"header_crc", Verdict::fail, ""},
                                           {"load_overlap", Verdict::warn, ""},
                                           {"app1_crc", Verdict::pass, ""},
                                           {"app2_padding", Verdict::warn, ""}};
  const struct {
    std::vector<CheckResult> checks;
    std::vector<const char*> allow;
    std::string text;
    std::string json;
  } rows[] = {
      {{}, {}, "PASS: no warning", "\"result\": \"pass\", \"not_allowed\": [], \"allowed\": []"},
      {checks,
       {},
       "FAIL: 3 warnings not allowed (app1_load_addr, load_overlap, app2_padding)",
       "\"result\": \"fail\", \"not_allowed\": [\"app1_load_addr\", \"load_overlap\", "
       "\"app2_padding\"], \"allowed\": []"},
      {checks,
       {"load_overlap", "header_crc"},
       "FAIL: 2 warnings not allowed (app1_load_addr, app2_padding); 1 warning allowed "
       "(load_overlap)",
       "\"result\": \"fail\", \"not_allowed\": [\"app1_load_addr\", \"app2_padding\"], "
       "\"allowed\": [\"load_overlap\"]"},
      {checks,
       {"app2_padding", "load_overlap", "app1_load_addr"},
       "PASS: 3 warnings allowed (app1_load_addr, load_overlap, app2_padding)",
       "\"result\": \"pass\", \"not_allowed\": [], \"allowed\": [\"app1_load_addr\", "
       "\"load_overlap\", \"app2_padding\"]"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    bool failed = false;
    const Doc doc = {strict_block(row.checks, row.allow, failed)};
    EXPECT_EQ(failed, row.text.starts_with("FAIL"));
    EXPECT_EQ(render_text(doc, false), "strict: " + row.text + "\n");
    EXPECT_EQ(render_text(doc, true), "strict: " + row.text + "\n");
    EXPECT_EQ(render_json(doc), "{\n  \"strict\": {" + row.json + "}\n}\n");
  }
}

TEST(VelmoraInspect, ExtractChecksEveryTargetFirstAndWritesAllPartsOrNone) {
  std::mt19937 rng(41);
  const ScratchDir s;
  compose(s, random_bytes(rng, 0x100), App{random_bytes(rng, 0x3000)},
          App{random_bytes(rng, 0x10), 0x11000000, "1"});
  const std::string out = s.file("out");
  fs::create_directory(out);
  const auto parts_left = [&] {
    std::vector<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(out)) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string& n : names) {
      joined += joined.empty() ? n : " " + n;
    }
    return joined;
  };

  // A target that exists refuses the run before the report is printed; with --json the
  // report is one object that says why.
  write_bytes(out + "/header.bin", {'o', 'l', 'd'});
  ChildResult run = inspect({"--json", "--extract", out, s.file("image.bin")});
  EXPECT_EQ(run.exit_status, 2);
  const std::string exists = out + "/header.bin: exists already (use --force to replace it)";
  EXPECT_EQ(run.out, "{\n  \"result\": \"error\",\n  \"error\": \"" + exists + "\"\n}\n");
  EXPECT_EQ(run.err, "velmora-inspect: " + exists + "\n");
  EXPECT_EQ(parts_left(), "header.bin");

  // Writing fails part way, in app1.bin after boot.bin and header.bin were whole: no part is
  // left, no temporary file, and the file that was there keeps its bytes.
  run = inspect({"--force", "--extract", out, s.file("image.bin")}, file_limit(0x2800));
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "velmora-inspect: " + out + "/app1.bin: cannot write: File too large\n");
  EXPECT_EQ(parts_left(), "header.bin");
  EXPECT_EQ(read_bytes(out + "/header.bin"), (Bytes{'o', 'l', 'd'}));

  fs::remove(out + "/header.bin");
  run = inspect({"--extract", out, s.file("image.bin")}, file_limit(0x2800));
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(parts_left(), "");

  run = inspect({"--force", "--extract", out, s.file("image.bin")});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(parts_left(), "app1.bin app2.bin boot.bin header.bin");
  EXPECT_EQ(read_bytes(out + "/app1.bin"), read_bytes(s.file("app1.bin")));
}

namespace {

// The regions of a comparison of two images that differ: fields by name, bytes with how many
// differ and where the first is in the region.
std::string differing(const DiffReport& r) {
  std::string text;
  for (const RegionDiff& d : r.regions) {
    if (d.same) {
      continue;
    }
    text += (text.empty() ? "" : " ") + d.what;
    if (d.kind == RegionKind::bytes) {
      char where[48];
      std::snprintf(where, sizeof where, ":%lld@0x%llx", static_cast<long long>(d.count),
                    static_cast<unsigned long long>(d.first));
      text += where;
    }
  }
  return text;
}

DiffReport diff_of(const Bytes& a, const Bytes& b) {
  DiffReport r;
  std::string error;
  EXPECT_TRUE(diff_images(memory_source(a.data(), static_cast<std::int64_t>(a.size())),
                          memory_source(b.data(), static_cast<std::int64_t>(b.size())), r, error))
      << error;
  return r;
}

}  // namespace

TEST(VelmoraInspect, AgainstWarnsOfTheMistakesTheInputsShow) {
  std::mt19937 rng(43);
  const ScratchDir s;
  write_bytes(s.file("app1.bin"), random_bytes(rng, 0x2000));
  write_bytes(s.file("app2.bin"), random_bytes(rng, 0x800));
  const std::string app1 = s.file("app1.bin");
  const std::string app2 = s.file("app2.bin");
  struct Case {
    const char* what;
    std::size_t boot_length;
    std::vector<std::string> words;  // APP1 LOAD_ADDR1 STATUS1 APP2 LOAD_ADDR2 STATUS2
    const char* warns;
  };
  const Case cases[] = {
      {"as meant", 0x100, {app1, "0x10000000", "1", app2, "0x11000000", "1"}, ""},
      {"status and load address swapped",
       0x100,
       {app1, "1", "0x10000000", app2, "0x11000000", "1"},
       "app1_swapped app1_invalid app1_load_addr"},
      {"a bootloader 0x80 bytes into the header",
       0x2080,
       {app1, "0x10000000", "1", app2, "0x11000000", "1"},
       "bootloader_input"},
      {"a bootloader past the header page",
       0x3400,
       {app1, "0x10000000", "1", app2, "0x11000000", "1"},
       "bootloader_input bootloader_size"},
      {"both applications at one address",
       0x100,
       {app1, "0x10000000", "1", app2, "0x10001000", "1"},
       "load_overlap"},
      {"APP1 half in the high window",
       0x100,
       {app1, "0x10FFF000", "1", app2, "0x11002000", "1"},
       "app1_load_window"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_bytes(s.file("boot.bin"), random_bytes(rng, c.boot_length));
    std::vector<std::string> words = {s.file("boot.bin")};
    words.insert(words.end(), c.words.begin(), c.words.end());
    words.push_back(s.file("image.bin"));
    ASSERT_EQ(run_velmora(words).exit_status, 0);
    words.insert(words.begin(), "--against");
    const ChildResult run = inspect(words);
    EXPECT_EQ(run.exit_status, 0) << run.out;
    EXPECT_EQ(warning_names(run.out), c.warns);
  }
  // The load ranges are those of the header velmora writes from the inputs, not the image's:
  // an image made with APP2 elsewhere does not hide that the words given make them overlap.
  write_bytes(s.file("boot.bin"), random_bytes(rng, 0x100));
  ASSERT_EQ(run_velmora({s.file("boot.bin"), app1, "0x10000000", "1", app2, "0x11000000", "1",
                         s.file("image.bin")})
                .exit_status,
            0);
  const ChildResult run = inspect({"--against", s.file("boot.bin"), app1, "0x10000000", "1", app2,
                                   "0x10001800", "1", s.file("image.bin")});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(warning_names(run.out), "load_overlap");
}

TEST(VelmoraInspect, ReadbackAcceptsErasedFlashAfterTheImageAndNamesAStrayByte) {
  std::mt19937 rng(47);
  const ScratchDir s;
  const Bytes image = compose(s, random_bytes(rng, 0x300), App{random_bytes(rng, 0x1234)},
                              App{random_bytes(rng, 0x906), 0x11000000, "2"});
  ASSERT_EQ(image.size(), 0x6000u);
  const std::vector<std::string> inputs = {
      "--against", s.file("boot.bin"), s.file("app1.bin"), "0x10000000",
      "1",         s.file("app2.bin"), "0x11000000",       "2"};
  const auto against_words = [&](std::vector<std::string> front, const std::string& dump) {
    front.insert(front.end(), inputs.begin(), inputs.end());
    front.push_back(dump);
    return front;
  };
  const std::string dump = s.file("dump.bin");

  // Tails of erased flash, none to several MiB: the report and --against pass.
  for (const std::size_t tail :
       {std::size_t{0}, std::size_t{1}, std::size_t{0x1000}, std::size_t{(3u << 20) + 5}}) {
    SCOPED_TRACE(tail);
    Bytes bytes = image;
    bytes.resize(image.size() + tail, 0xFF);
    write_bytes(dump, bytes);
    ChildResult run = inspect({"--readback", "--quiet", dump});
    EXPECT_EQ(run.exit_status, 0) << run.out;
    EXPECT_EQ(run.out, "summary: PASS: 26 passed, 0 warnings, 0 failed, 0 skipped\n");
    run = inspect({"--readback", dump});
    char line[160];
    std::snprintf(line, sizeof line,
                  "\n  pass  readback_tail    the 0x%zx bytes after the image's end at "
                  "0x00006000 are all 0xFF (erased flash)\n",
                  tail);
    EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
    std::snprintf(line, sizeof line,
                  "\nlength: 0x00006000 (24576 bytes, 6 pages)\nread-back: 0x%08zx bytes: the "
                  "image, then 0x%zx bytes after it, all 0xFF\n\nAPP1\n",
                  bytes.size(), tail);
    EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
    run = inspect({"--readback", "--json", dump});
    EXPECT_TRUE(is_json(run.out));
    EXPECT_NE(run.out.find("\n  \"length\": 24576,\n"), std::string::npos);
    EXPECT_NE(run.out.find("\n  \"readback\": {\"file_length\": " + std::to_string(bytes.size()) +
                           ", \"end_known\": true, \"tail_bytes\": " + std::to_string(tail) +
                           ", \"tail_not_ff\": 0, \"tail_first_not_ff\": null},\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(inspect(against_words({"--readback"}, dump)).exit_status, 0);
    // Without --readback, a tail is a wrong length as before.
    EXPECT_EQ(inspect({dump}).exit_status, tail == 0 ? 0 : 1);
    EXPECT_EQ(inspect(against_words({}, dump)).exit_status, tail == 0 ? 0 : 1);
  }

  // One byte that is not 0xFF, deep in a tail of 3 MiB or at its very end.
  for (const std::size_t at : {std::size_t{0x6000}, std::size_t{0x6000 + 0x212345},
                               std::size_t{0x6000 + (3u << 20) - 1}}) {
    SCOPED_TRACE(at);
    Bytes bytes = image;
    bytes.resize(image.size() + (3u << 20), 0xFF);
    bytes[at] = 0xFE;
    write_bytes(dump, bytes);
    ChildResult run = inspect({"--readback", "--quiet", dump});
    EXPECT_EQ(run.exit_status, 1);
    char line[200];
    std::snprintf(line, sizeof line,
                  "  fail  readback_tail    1 of the 0x300000 bytes after the image's end at "
                  "0x00006000 is not 0xFF, the first at 0x%08zx\n"
                  "summary: FAIL: 25 passed, 0 warnings, 1 failed, 0 skipped\n",
                  at);
    EXPECT_EQ(run.out, line);
    run = inspect({"--readback", dump});
    std::snprintf(line, sizeof line,
                  "\nread-back: 0x00306000 bytes: the image, then 0x300000 bytes after it, 1 of "
                  "them not 0xFF, the first at 0x%08zx\n\n",
                  at);
    EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
    run = inspect({"--readback", "--json", dump});
    EXPECT_NE(
        run.out.find("\"tail_not_ff\": 1, \"tail_first_not_ff\": " + std::to_string(at) + "},\n"),
        std::string::npos)
        << run.out;
    run = inspect(against_words({"--readback", "--json"}, dump));
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.out.find("\"readback_tail_bytes\": 3145728,"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("{\"what\": \"readback_tail\", \"kind\": \"bytes\", \"count\": 1, "
                           "\"first_offset\": " +
                           std::to_string(at - 0x6000) +
                           ", \"first_image_offset\": " + std::to_string(at) + "}"),
              std::string::npos)
        << run.out;
  }

  // A damaged header: the image's end is unknown, which readback_tail says, and the whole
  // dump is judged as the image. A dump cut short keeps its wrong length.
  Bytes bytes = image;
  bytes.resize(0x9000, 0xFF);
  bytes[0x2014] = 1;
  write_bytes(dump, bytes);
  ChildResult run = inspect({"--readback", "--quiet", dump});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find("\n  warn  readback_tail    the header is damaged (its CRC does not "
                         "match), so the image's end is unknown: the whole file is judged as the "
                         "image\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("  fail  file_length      the file is 0x9000 bytes long"),
            std::string::npos);
  const Bytes cut(image.begin(), image.begin() + 0x5000);
  write_bytes(dump, cut);
  run = inspect({"--readback", "--quiet", dump});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find("  warn  readback_tail    the header's sizes make an image of 0x6000 "
                         "bytes, longer than the file: the whole file is judged as the image\n"),
            std::string::npos)
      << run.out;
  // APP2 lies past the cut: its checksum is not computed, in either form.
  run = inspect({dump});
  EXPECT_NE(run.out.find(", computed none (past the end of the file)\n\nheader crc: "),
            std::string::npos)
      << run.out;
  run = inspect({"--json", dump});
  EXPECT_NE(run.out.find(",\n    \"crc_computed\": null\n  },\n  \"header_crc_stored\": "),
            std::string::npos)
      << run.out;
  run = inspect(against_words({"--readback", "--quiet"}, dump));
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find("  length: image 0x00005000, inputs give 0x00006000"), std::string::npos)
      << run.out;
  write_bytes(dump, Bytes(0x1000, 0xFF));
  run = inspect({"--readback", "--json", dump});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find("\"readback\": {\"file_length\": 4096, \"end_known\": false, "
                         "\"tail_bytes\": null, \"tail_not_ff\": null, \"tail_first_not_ff\": "
                         "null},\n"),
            std::string::npos)
      << run.out;
}

TEST(InspectDiff, NamesEachRegionThatChangedAndNothingElse) {
  std::mt19937 rng(53);
  const ScratchDir s;
  const Bytes boot = random_bytes(rng, 0x1A00);
  const Bytes app1 = random_bytes(rng, 0x1234);
  const Bytes app2 = random_bytes(rng, 0x906);
  const Bytes image = compose(s, boot, App{app1, 0x10000000, "1"}, App{app2, 0x11000000, "2"});
  ASSERT_EQ(image.size(), 0x6000u);
  EXPECT_EQ(differing(diff_of(image, image)), "");

  // One byte changed at a time; APP2 is compared un-reversed, so its stored byte 0 is byte 3.
  const std::pair<std::size_t, const char*> edits[] = {
      {0x0100, "bootloader:1@0x100"},
      {0x2000, "app1.status"},
      {0x2004, "app1.flags"},
      {0x2008, "app1.crc"},
      // APP1 moved past the end of the file: none of its bytes or its fill's are in B, whose
      // two pages at 0x3000 are then outside every region.
      {0x200D, "app1.offset app1:4660@0x0 app1_fill:3532@0x0 outside:8192@0x0"},
      {0x2020, "app1.load_addr"},  // still below the high window
      // A load address moved into the high window un-reverses B's APP1: its bytes differ
      // (counted below).
      {0x2023, "app1.load_addr app1:*"},
      {0x2031, "app2.status"},
      // APP2's size run past the file: B holds 0x1000 bytes of it, among them the two bytes
      // of A's last, partial word (0x904 and 0x905), which A stores as is and B reversed.
      {0x2043, "app2.size app2:1788@0x904 app2_fill:1786@0x0"},
      {0x20F0, "header_crc"},
      {0x2014, "header_reserved:1@0x14"},
      {0x20FF, "header_reserved:1@0xff"},
      {0x2100, "header_page_fill:1@0x0"},
      {0x2FFF, "header_page_fill:1@0xeff"},
      {0x3000, "app1:1@0x0"},
      {0x4233, "app1:1@0x1233"},
      {0x4234, "app1_fill:1@0x0"},
      {0x5000, "app2:1@0x3"},
      {0x5905, "app2:1@0x905"},
      {0x5FFF, "app2_fill:1@0x6f9"},
  };
  // Every byte of APP1 whose word is not a palindrome there, the first at 0 (ASSERT below);
  // the last two bytes of APP2 are not 0xFF, the fill B turns into them.
  std::int64_t unreversed = 0;
  for (std::size_t i = 0; i < 0x1234; ++i) {
    unreversed += app1[i] != app1[i - i % 4 + 3 - i % 4] ? 1 : 0;
  }
  ASSERT_NE(app1[0], app1[3]);
  ASSERT_TRUE(app2[0x904] != 0xFF && app2[0x905] != 0xFF);
  for (const auto& [at, named] : edits) {
    SCOPED_TRACE(named);
    Bytes edited = image;
    edited[at] ^= 0x5A;
    std::string expected = named;
    if (expected.ends_with(":*")) {
      expected.replace(expected.size() - 1, 1, std::to_string(unreversed) + "@0x0");
    }
    EXPECT_EQ(differing(diff_of(image, edited)), expected);
  }
  // Bytes after the image's end, and in a gap that a forged header leaves, are compared as
  // the region outside.
  Bytes longer = image;
  longer.resize(0x7000, 0xFF);
  EXPECT_EQ(differing(diff_of(image, longer)), "outside:4096@0x0 length");
  Bytes dump_a = longer;
  Bytes dump_b = longer;
  dump_b[0x6800] = 0;
  EXPECT_EQ(differing(diff_of(dump_a, dump_b)), "outside:1@0x800");
  Bytes tail_a = image;  // a tail of more than one stretch of the reader, its last byte differing
  tail_a.resize(0x1F000, 0xFF);
  Bytes tail_b = tail_a;
  tail_b.back() = 0;
  EXPECT_EQ(differing(diff_of(tail_a, tail_b)), "outside:1@0x18fff");
  put_le32(dump_a.data(), 0x200C, 0x4000);  // APP1 and its fill moved on by a page in both:
  put_le32(dump_b.data(), 0x200C, 0x4000);  // 0x3000-0x3FFF is then outside every region
  dump_b[0x3010] ^= 1;
  const DiffReport gap = diff_of(dump_a, dump_b);
  EXPECT_EQ(differing(gap), "outside:2@0x10");  // the bytes at 0x3010 and at 0x6800
  EXPECT_EQ(gap.regions[gap.regions.size() - 2].offset_a + 0x10, 0x3010);
  // The same outside bytes, all 0xFF, in pieces that end in different places: one tail of two
  // pages against a gap of one page and a tail of one.
  std::fill(dump_a.begin() + 0x3000, dump_a.begin() + 0x4000, 0xFF);
  Bytes long_tail = image;
  long_tail.resize(0x8000, 0xFF);
  const DiffReport pieces = diff_of(long_tail, dump_a);
  const RegionDiff& outside = pieces.regions[pieces.regions.size() - 2];
  EXPECT_TRUE(outside.same && outside.held_a == 0x2000 && outside.held_b == 0x2000);

  // APP2 moved to the low window, its bytes the same: its load address and flag, the header
  // checksum, and no byte.
  const Bytes moved = compose(s, boot, App{app1, 0x10000000, "1"}, App{app2, 0x10000000, "2"});
  EXPECT_EQ(differing(diff_of(image, moved)), "app2.flags app2.load_addr header_crc");
  // One byte more in APP1: its size and checksum, the header checksum, and the byte that only
  // one side holds in APP1 and in its fill.
  Bytes app1_longer = app1;
  app1_longer.push_back(0x42);
  const Bytes grown =
      compose(s, boot, App{app1_longer, 0x10000000, "1"}, App{app2, 0x11000000, "2"});
  EXPECT_EQ(differing(diff_of(image, grown)),
            "app1.crc app1.size header_crc app1:1@0x1234 app1_fill:1@0xdcb");
  // A file without a header: every field is unknown on its side.
  const Bytes short_file(image.begin(), image.begin() + 0x2080);
  const DiffReport no_header = diff_of(short_file, image);
  EXPECT_EQ(differing(no_header),
            "app1.status app1.flags app1.crc app1.offset app1.size app1.load_addr app2.status "
            "app2.flags app2.crc app2.offset app2.size app2.load_addr header_crc "
            "header_reserved:128@0x80 header_page_fill:3840@0x0 app1:4660@0x0 "
            "app1_fill:3532@0x0 app2:2310@0x0 app2_fill:1786@0x0 length");
  EXPECT_FALSE(no_header.regions[1].a_known);

  // Forged offsets and sizes anywhere in the 32-bit range: no read past either file, and
  // valid JSON.
  const std::uint32_t values[] = {0, 0x3000, 0x5FFF, 0x6000, 0x7FFFFFFF, 0xFFFFF000, 0xFFFFFFFF};
  for (const std::uint32_t offset : values) {
    for (const std::uint32_t size : values) {
      Bytes forged = image;
      put_le32(forged.data(), 0x200C, offset);
      put_le32(forged.data(), 0x2040, size);
      const DiffReport r = diff_of(forged, image);
      EXPECT_TRUE(is_json(render_json(diff_doc("a", "b", r))));
      EXPECT_NE(differing(r), "");
    }
  }
}

TEST(VelmoraInspect, DiffReportInTextQuietTextAndJson) {
  // B's APP1 is a page longer, so that APP2 lies a page further on; one byte of APP2 differs.
  const ScratchDir s;
  const std::string a = s.file("a.bin");
  const std::string b = s.file("b.bin");
  const Bytes boot(0x10, 0xB0);
  Bytes app2_b(0x20, 0x22);
  app2_b[5] = 0x23;
  const Bytes image_a =
      model_image(boot, {Bytes(0x1000, 0x11), 0x10000000, 1}, {Bytes(0x20, 0x22), 0x10100000, 1});
  const Bytes image_b =
      model_image(boot, {Bytes(0x1800, 0x11), 0x10000000, 1}, {app2_b, 0x10100000, 1});
  write_bytes(a, image_a);
  write_bytes(b, image_b);
  ChildResult run = inspect({"--quiet", "--diff", a, a});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, "result: IDENTICAL: every region is the same\n");

  const std::uint32_t crc1[] = {model_crc(Bytes(0x1000, 0x11)), model_crc(Bytes(0x1800, 0x11))};
  const std::uint32_t crc2[] = {model_crc(Bytes(0x20, 0x22)), model_crc(app2_b)};
  const std::uint32_t header_crc[] = {model_crc(image_a.data() + 0x2000, 0xF0),
                                      model_crc(image_b.data() + 0x2000, 0xF0)};
  const auto pair = [](const std::uint32_t(&v)[2]) {
    return "A " + hex(v[0]) + ", B " + hex(v[1]);
  };
  // Every row in region order; --quiet keeps those that differ.
  const std::string rows[] = {
      "  same     bootloader (0x2000 bytes)\n",
      "  same     app1.status: 0x00000001\n",
      "  same     app1.flags: 0x00000000\n",
      "  differs  app1.crc: " + pair(crc1) + "\n",
      "  same     app1.offset: 0x00003000\n",
      "  differs  app1.size: A 0x00001000, B 0x00001800\n",
      "  same     app1.load_addr: 0x10000000\n",
      "  same     app2.status: 0x00000001\n",
      "  same     app2.flags: 0x00000000\n",
      "  differs  app2.crc: " + pair(crc2) + "\n",
      "  differs  app2.offset: A 0x00004000, B 0x00005000\n",
      "  same     app2.size: 0x00000020\n",
      "  same     app2.load_addr: 0x10100000\n",
      "  differs  header_crc: " + pair(header_crc) + "\n",
      "  same     header_reserved (0x100 bytes)\n",
      "  same     header_page_fill (0xf00 bytes)\n",
      "  differs  app1 (A 0x1000 bytes, B 0x1800): 2048 bytes differ, the first at 0x1000 in the "
      "region (past its end in A, 0x00004000 in B)\n",
      "  differs  app1_fill (A 0x0 bytes, B 0x800): 2048 bytes differ, the first at 0x0 in the "
      "region (past its end in A, 0x00004800 in B)\n",
      "  differs  app2 (0x20 bytes): 1 byte differs, the first at 0x5 in the region (0x00004005 in "
      "A, 0x00005005 in B)\n",
      "  same     app2_fill (0xfe0 bytes)\n",
      "  same     outside (0x0 bytes)\n",
      "  differs  length: A 0x00005000, B 0x00006000\n",
  };
  std::string text = "A: " + a + " (0x5000 bytes)\nB: " + b + " (0x6000 bytes)\n\nregions:\n";
  std::string quiet;
  for (const std::string& row : rows) {
    text += row;
    quiet += row.starts_with("  differs") ? row : "";
  }
  const std::string result = "result: DIFFERENT: 9 of 22 regions differ\n";
  run = inspect({"--diff", a, b});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, text + result);
  run = inspect({"--quiet", "--diff", a, b});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, quiet + result);

  const auto field = [](const char* what, std::uint32_t va, std::uint32_t vb) {
    return std::string("    {\"what\": \"") + what +
           "\", \"kind\": \"field\", \"same\": " + (va == vb ? "true" : "false") +
           ", \"a\": " + std::to_string(va) + ", \"b\": " + std::to_string(vb) + "},\n";
  };
  const auto same_bytes = [](const char* what, int length) {
    return std::string("    {\"what\": \"") + what +
           "\", \"kind\": \"bytes\", \"same\": true, \"length_a\": " + std::to_string(length) +
           ", \"length_b\": " + std::to_string(length) +
           ", \"count\": 0, \"first_offset\": null, \"first_offset_a\": null, "
           "\"first_offset_b\": null},\n";
  };
  run = inspect({"--json", "--diff", a, b});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(
      run.out,
      "{\n  \"file_a\": \"" + a + "\", \"file_a_hex\": null,\n  \"file_b\": \"" + b +
          "\", \"file_b_hex\": null,\n"
          "  \"length_a\": 20480,\n  \"length_b\": 24576,\n  \"regions\": [\n" +
          same_bytes("bootloader", 0x2000) + field("app1.status", 1, 1) +
          field("app1.flags", 0, 0) + field("app1.crc", crc1[0], crc1[1]) +
          field("app1.offset", 0x3000, 0x3000) + field("app1.size", 0x1000, 0x1800) +
          field("app1.load_addr", 0x10000000, 0x10000000) + field("app2.status", 1, 1) +
          field("app2.flags", 0, 0) + field("app2.crc", crc2[0], crc2[1]) +
          field("app2.offset", 0x4000, 0x5000) + field("app2.size", 0x20, 0x20) +
          field("app2.load_addr", 0x10100000, 0x10100000) +
          field("header_crc", header_crc[0], header_crc[1]) + same_bytes("header_reserved", 0x100) +
          same_bytes("header_page_fill", 0xF00) +
          "    {\"what\": \"app1\", \"kind\": \"bytes\", \"same\": false, \"length_a\": 4096, "
          "\"length_b\": 6144, \"count\": 2048, \"first_offset\": 4096, \"first_offset_a\": null, "
          "\"first_offset_b\": 16384},\n"
          "    {\"what\": \"app1_fill\", \"kind\": \"bytes\", \"same\": false, \"length_a\": 0, "
          "\"length_b\": 2048, \"count\": 2048, \"first_offset\": 0, \"first_offset_a\": null, "
          "\"first_offset_b\": 18432},\n"
          "    {\"what\": \"app2\", \"kind\": \"bytes\", \"same\": false, \"length_a\": 32, "
          "\"length_b\": 32, \"count\": 1, \"first_offset\": 5, \"first_offset_a\": 16389, "
          "\"first_offset_b\": 20485},\n" +
          same_bytes("app2_fill", 0xFE0) + same_bytes("outside", 0) +
          "    {\"what\": \"length\", \"kind\": \"length\", \"same\": false, \"a\": 20480, \"b\": "
          "24576}\n  ],\n  \"same\": 13,\n  \"different\": 9,\n  \"result\": \"different\"\n}\n");

  // A file that cannot be read, and a pseudo-file: status 2 and the reason; with --json, one
  // object that says it.
  run = inspect({"--json", "--diff", a, s.file("missing.bin")});
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.out, "{\n  \"result\": \"error\",\n  \"error\": \"" + s.file("missing.bin") +
                         ": cannot open: No such file or directory\"\n}\n");
  run = inspect({"--diff", "/proc/self/status", a});
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "velmora-inspect: /proc/self/status: cannot read: a pseudo-file (under /proc or /sys, "
            "or of size 0 that delivers bytes), not an image\n");
}

TEST(VelmoraInspect, RefusesPseudoFilesAsImages) {
  const ScratchDir s;
  const std::string link = s.file("status-link.bin");
  fs::create_symlink("/proc/self/status", link);
  for (const std::string& path :
       {std::string("/proc/self/status"), std::string("/proc/cpuinfo"),
        std::string("/sys/kernel/mm/transparent_hugepage/enabled"), link}) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
      continue;
    }
    SCOPED_TRACE(path);
    const std::string reason = path +
                               ": cannot read: a pseudo-file (under /proc or /sys, or of size 0 "
                               "that delivers bytes), not an image";
    ChildResult run = inspect({path});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "velmora-inspect: " + reason + "\n");
    run = inspect({"--json", "--readback", path});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out,
              "{\n  \"result\": \"error\",\n  \"error\": " + json_quoted(reason) + "\n}\n");
  }
}

// A file that grows while it is read (the fault shim appends a byte at its first read) ends
// every kind of run with status 2 and the reason, before anything is printed or extracted:
// the report on bytes that are no longer all the file would otherwise pass.
TEST(VelmoraInspect, FileThatGrowsWhileReadEndsEveryRun) {
  if (built_with_sanitizers) {
    GTEST_SKIP() << "preloads a library into a build without sanitizers";
  }
  std::mt19937 rng(53);
  const ScratchDir s;
  const Bytes image = compose(s, random_bytes(rng, 0x200), App{random_bytes(rng, 0x11003)},
                              App{random_bytes(rng, 0x41), 0x11000000, "1"});
  const std::string img = s.file("image.bin");
  const std::string other = s.file("other.bin");
  const std::string parts = s.file("parts");
  const std::vector<std::string> against = {
      "--against", s.file("boot.bin"), s.file("app1.bin"), "0x10000000",
      "1",         s.file("app2.bin"), "0x11000000",       "1",
      img};
  std::vector<std::string> readback_against = against;
  readback_against.insert(readback_against.begin(), "--readback");
  const std::pair<std::string, Bytes> files[] = {
      {img, image}, {other, image}, {s.file("app1.bin"), read_bytes(s.file("app1.bin"))}};
  fs::create_directory(parts);
  const Bytes old_part = {'o', 'l', 'd'};
  write_bytes(parts + "/app1.bin", old_part);
  const struct {
    std::vector<std::string> args;
    std::string grows;
  } runs[] = {
      {{img}, img},
      {{"--map", img}, img},
      {{"--readback", img}, img},
      {{"--json", img}, img},
      {against, img},
      {readback_against, img},
      {against, s.file("app1.bin")},
      {{"--diff", img, other}, img},
      {{"--diff", img, other}, other},
      {{"--extract", s.file("fresh"), img}, img},
      {{"--force", "--extract", parts, img}, img},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.args.front() + " growing " + r.grows);
    for (const auto& [path, bytes] : files) {
      write_bytes(path, bytes);  // as before the last run grew one
    }
    const std::size_t size = read_bytes(r.grows).size();
    const ChildResult run =
        inspect(r.args, with_shim({"VELMORA_SHIM_GROW=/" + fs::path(r.grows).filename().string()}));
    const std::string reason =
        r.grows + ": cannot read: the file runs on past its length (it changed while read)";
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err, "velmora-inspect: " + reason + "\n");
    EXPECT_EQ(run.out,
              r.args.front() == "--json"
                  ? "{\n  \"result\": \"error\",\n  \"error\": " + json_quoted(reason) + "\n}\n"
                  : "");
    EXPECT_EQ(read_bytes(r.grows).size(), size + 1);  // it did grow
  }
  EXPECT_FALSE(fs::exists(s.file("fresh")));
  EXPECT_EQ(entry_count(parts), 1u);
  EXPECT_EQ(read_bytes(parts + "/app1.bin"), old_part);
}

// After --extract has put every part in place, a report that cannot be written (a full
// device, a pipe no one reads) ends with status 3 and says that the parts are there.
TEST(VelmoraInspect, ExtractWhoseReportCannotBeWrittenSaysThePartsAreThere) {
  std::mt19937 rng(59);
  const ScratchDir s;
  const App app1{random_bytes(rng, 0x1234)};
  const App app2{random_bytes(rng, 0x56), 0x11000000, "1"};
  compose(s, random_bytes(rng, 0x100), app1, app2);
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  close(pipe_ends[0]);
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  for (const int out : {full, pipe_ends[1]}) {
    const std::string dir = s.file("parts" + std::to_string(out));
    const ChildResult run = inspect({"--extract", dir, s.file("image.bin")}, {.stdout_fd = out});
    EXPECT_EQ(run.exit_status, 3);
    const std::string said = "extracted boot.bin, header.bin, app1.bin and app2.bin into " + dir;
    EXPECT_EQ(run.err, "velmora-inspect: " + said +
                           ", but the report could not be written: cannot write to standard "
                           "output\n");
    EXPECT_EQ(entry_count(dir), 4u);
    EXPECT_EQ(read_bytes(dir + "/header.bin").size(), 0x100u);
    EXPECT_EQ(read_bytes(dir + "/app1.bin"), app1.bytes);
    EXPECT_EQ(read_bytes(dir + "/app2.bin"), app2.bytes);
  }
  close(full);
  close(pipe_ends[1]);

  // A part that is the file the report goes to is refused, and keeps its bytes.
  const std::string dir = s.file("parts-out");
  fs::create_directory(dir);
  write_bytes(dir + "/app2.bin", {7});
  const int out = open((dir + "/app2.bin").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(out, 0);
  const ChildResult run =
      inspect({"--force", "--extract", dir, s.file("image.bin")}, {.stdout_fd = out});
  close(out);
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.err, "velmora-inspect: " + dir +
                         "/app2.bin: cannot write: the file standard output writes to\n");
  EXPECT_EQ(read_bytes(dir + "/app2.bin"), Bytes{7});
  EXPECT_EQ(entry_count(dir), 1u);
}
