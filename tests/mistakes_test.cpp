// The mistakes velmora-inspect names in what velmora was given: each word and each file start
// with the warning it must raise, beside a near neighbour that must raise none.
#include "inspect/inspect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"

namespace {

// The index of a numeric word in velmora's command line.
int index_of(const char* label) {
  for (int i = 0; i < 4; ++i) {
    if (std::string(numeric_words[i]) == label) {
      return i;
    }
  }
  return -1;
}

std::vector<std::string> names(const char* label, const char* word) {
  std::vector<std::string> out;
  for (const CheckResult& f : word_findings(index_of(label), word)) {
    out.push_back(f.name);
  }
  return out;
}

TEST(WordFindings, NameWhatVelmoraReadWithLoss) {
  using Names = std::vector<std::string>;
  const struct {
    const char* label;
    const char* word;
    Names expected;
  } rows[] = {
      {"status1", "1", {}},
      {"status1", "l", {"status1_no_digit"}},        // the letter for the digit
      {"status1", "0x", {"status1_no_digit"}},       // nothing after the prefix
      {"status1", "0", {}},                          // a digit, read as 0 on purpose
      {"status2", "-1", {"status2_skipped_bytes"}},  // the sign is skipped
      {"status2", "7f", {}},                         // the largest positive status
      {"status2", "80", {"status2_negative"}},       // one past it
      {"status2", "ff", {"status2_negative"}},
      {"load_addr1", "0x1000_0000", {}},  // a separator velmora skips
      {"load_addr1", "0x1000.0000", {"load_addr1_skipped_bytes"}},
      {"load_addr1", "0x1000000o", {"load_addr1_skipped_bytes"}},
      {"load_addr2", "0x11000000", {}},   // eight digits
      {"load_addr2", "0x011000000", {}},  // a leading zero is not significant
      {"load_addr2", "0x110000000", {"load_addr2_too_long"}},
      // 0x10000000 in decimal: nine digits, of which velmora drops the first
      {"load_addr1", "268435456", {"load_addr1_too_long", "load_addr1_decimal"}},
      {"load_addr1", "65536", {"load_addr1_decimal"}},        // 0x10000
      {"load_addr1", "65537", {}},                            // not page-aligned as decimal either
      {"load_addr1", "10000000", {}},                         // aligned as hexadecimal already
      {"load_addr1", "4294967296", {"load_addr1_too_long"}},  // past 32 bits in decimal
      {"status1", "100", {}},                                 // keeps 0: no loss velmora hides
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.word);
    EXPECT_EQ(names(r.label, r.word), r.expected);
  }
}

TEST(WordFindings, SayWhatWasReadAndWhatWasMeant) {
  std::vector<CheckResult> f = word_findings(index_of("status1"), "l");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].detail,
            "status1 \"l\" holds no hexadecimal digit: velmora read 0 (invalid); 0x1 meant, a "
            "letter typed for a digit?");
  f = word_findings(index_of("load_addr1"), "268435456");
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[1].detail,
            "load_addr1 \"268435456\" is read as hexadecimal, 0x68435456, which is not "
            "page-aligned; as a decimal number it is 0x10000000, which is: write 0x10000000 if "
            "that was meant");
  f = word_findings(index_of("load_addr2"), "0x110000000");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].detail,
            "load_addr2 \"0x110000000\" has 9 significant digits: velmora keeps the last eight "
            "and read 0x10000000; 0x110000000 meant, with a digit too many?");
  f = word_findings(index_of("status2"), "ff");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].detail,
            "status2 \"ff\" gives 0xff, which velmora keeps as -1 (active): a negative status "
            "never sets the high window's flag; 1 or 2 meant?");
}

TEST(NonBinaryFormat, KnowsTheFormatsAroundARawImage) {
  const struct {
    std::string bytes;
    const char* expected;
  } rows[] = {
      {std::string("\x7f"
                   "ELF\x01\x01\x01",
                   7),
       "an ELF file"},
      {std::string("\x7f"
                   "EL",
                   3),
       nullptr},
      {std::string("UF2\nWQ]\x9e\x00\x00", 10), "UF2 blocks"},
      {std::string("UF2\nWQ]\x9f", 8), nullptr},
      {":020000040800F2\r\n:10000000", "Intel HEX text"},
      {":00000001FF", "Intel HEX text"},  // the shortest record
      {":00000001F", nullptr},            // one digit short
      {":0000g001FF\n", nullptr},
      {"S00F000068656C6C6F202020202000003C\n", "S-record text"},
      {"S1130000", "S-record text"},
      {"S113", nullptr},
      {"SA130000\n", nullptr},
      {std::string("\x00\x10\x00\x20", 4), nullptr},  // a vector table
      {"", nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.bytes);
    const char* got =
        non_binary_format(reinterpret_cast<const std::uint8_t*>(r.bytes.data()), r.bytes.size());
    EXPECT_STREQ(got, r.expected);
  }
}

}  // namespace

// The same mistakes as a user makes them: velmora composes what it is told, and
// velmora-inspect names each mistake, fails under --strict and passes once it is allowed.
namespace {

// Composes `words` (velmora's eight, the output last) and checks the image with
// velmora-inspect: its warnings, --strict failing, --strict with every one allowed passing.
void expect_named(const std::vector<std::string>& words, bool against, const std::string& named) {
  ASSERT_EQ(run_velmora(words).exit_status, 0);
  std::vector<std::string> check = inspect_command();
  const auto options = check.size();  // where the --allow options go
  check.push_back("--strict");
  if (against) {
    check.push_back("--against");
    check.insert(check.end(), words.begin(), words.end() - 1);
  }
  check.push_back(words.back());
  ChildResult r = run_program(check);
  EXPECT_EQ(warning_names(r.out), named) << r.out;
  EXPECT_EQ(r.exit_status, named.empty() ? 0 : 1) << r.out;
  EXPECT_NE(r.out.find(named.empty() ? "\nstrict: PASS: no warning\n" : "\nstrict: FAIL: "),
            std::string::npos)
      << r.out;
  for (std::size_t at = 0; at < named.size();) {
    const std::size_t end = std::min(named.find(' ', at), named.size());
    check.insert(check.begin() + static_cast<std::ptrdiff_t>(options),
                 {"--allow", named.substr(at, end - at)});
    at = end + 1;
  }
  r = run_program(check);
  EXPECT_EQ(r.exit_status, 0) << r.out;
}

TEST(Mistakes, EachMistakenCommandLineIsNamedAndFailsUnderStrict) {
  const ScratchDir dir;
  write_bytes(dir.file("boot.bin"), random_bytes(0x400, 71));
  write_bytes(dir.file("app1.bin"), random_bytes(0x1234, 72));
  write_bytes(dir.file("app2.bin"), random_bytes(0x906, 73));
  const std::string boot = dir.file("boot.bin");
  const std::string app1 = dir.file("app1.bin");
  const std::string app2 = dir.file("app2.bin");
  const std::string out = dir.file("download.bin");
  const struct {
    const char* what;
    std::vector<std::string> words;
    const char* named;
  } rows[] = {
      {"as meant", {boot, app1, "0x10000000", "1", app2, "0x11000000", "2", out}, ""},
      {"the letter l for the status 1",
       {boot, app1, "0x10000000", "l", app2, "0x11000000", "2", out},
       "app1_invalid status1_no_digit"},
      {"a decimal address",
       {boot, app1, "268435456", "1", app2, "0x11000000", "2", out},
       "load_addr1_too_long load_addr1_decimal app1_load_addr"},
      {"nine digits: APP2 leaves the high window",
       {boot, app1, "0x10000000", "1", app2, "0x110000000", "2", out},
       "load_overlap load_addr2_too_long"},
      {"address and status swapped",
       {boot, app1, "1", "0x10000000", app2, "0x11000000", "2", out},
       "app1_swapped app1_invalid app1_load_addr"},
      {"a negative status",
       {boot, app1, "0x10000000", "1", app2, "0x11000000", "ff", out},
       "status2_negative"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    expect_named(row.words, true, row.named);
  }
  // The image alone shows what it holds: APP1 invalid beside an active APP2.
  expect_named({boot, app1, "0x10000000", "0", app2, "0x11000000", "2", out}, false,
               "app1_invalid");
}

TEST(Mistakes, InputsThatAreNotRawBinariesAreNamed) {
  const ScratchDir dir;
  const std::string boot = dir.file("boot.bin");
  const std::string app1 = dir.file("app1.bin");
  const std::string app2 = dir.file("app2.bin");
  const std::string out = dir.file("download.bin");
  const auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  const Bytes raw = random_bytes(0x800, 74);
  Bytes elf = random_bytes(0x900, 75);
  elf[0] = 0x7F, elf[1] = 'E', elf[2] = 'L', elf[3] = 'F';
  Bytes uf2 = random_bytes(0x200, 76);
  const char magic[] = "UF2\nWQ]\x9e";
  std::copy(magic, magic + 8, uf2.begin());
  const struct {
    const char* what;
    Bytes boot, app1, app2;
    const char* named;
  } rows[] = {
      {"raw binaries", raw, raw, raw, ""},
      {"an ELF file for APP1", raw, elf, raw, "app1_format"},
      {"Intel HEX text for the bootloader", text(":020000040800F2\n:10000000FFFF\n"), raw, raw,
       "bootloader_format"},
      {"S-records for APP2", raw, raw, text("S00F000068656C6C6F202020202000003C\n"), "app2_format"},
      // Stored word-reversed in the high window, and still seen from the image alone.
      {"UF2 blocks for APP2", raw, raw, uf2, "app2_format"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    write_bytes(boot, row.boot);
    write_bytes(app1, row.app1);
    write_bytes(app2, row.app2);
    const std::vector<std::string> words = {boot, app1,         "0x10000000", "1",
                                            app2, "0x11000000", "2",          out};
    expect_named(words, true, row.named);
    expect_named(words, false, row.named);
  }
}

// Sound images of random sizes give no warning, --strict passes them, and the examples too.
TEST(Mistakes, NoWarningOnSoundImages) {
  const ScratchDir dir;
  std::mt19937 rng(25);
  for (int i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    write_bytes(dir.file("boot.bin"), random_bytes(rng() % 0x2001, static_cast<unsigned>(i)));
    write_bytes(dir.file("app1.bin"),
                random_bytes(1 + rng() % 0x5000, 100u + static_cast<unsigned>(i)));
    write_bytes(dir.file("app2.bin"),
                random_bytes(1 + rng() % 0x5000, 200u + static_cast<unsigned>(i)));
    const char* status2 = i % 2 == 0 ? "2" : "1";
    const std::vector<std::string> words = {dir.file("boot.bin"),
                                            dir.file("app1.bin"),
                                            "0x10000000",
                                            "1",
                                            dir.file("app2.bin"),
                                            i % 3 == 0 ? "0x11000000" : "0x10100000",
                                            status2,
                                            dir.file("download.bin")};
    expect_named(words, true, "");
    expect_named(words, false, "");
  }
  const std::string examples = VELMORA_SOURCE_DIR "/examples/";
  expect_named({examples + "boot.bin", examples + "app1.bin", "0x10000000", "1",
                examples + "app2.bin", "0x11000000", "2", dir.file("download.bin")},
               true, "");
}

}  // namespace
