// The console dialogue of velmora, run as a user runs it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/inputs.h"

namespace {

const char* const success_line = "updata file success !\n";

// The dialogue up to the success line for the nine words, from the texts in UTF-8.
std::string expected_dialogue(const std::vector<std::string>& w, unsigned load1, unsigned load2,
                              int status1, int status2) {
  const char* labels[] = {
      "可 执 行文 件 名:",
      "第一个命令行参数[bootloader program ]:",
      "第二个命令行参数[APP1 program]:",
      "第三个命令行参数[load_addr: sector align]:",
      "第四个命令行参数[1:active,0:invalid]:",
      "第五个命令行参数[APP2 program]:",
      "第六个命令行参数[load_addr: sector align]:",
      "第七个命令行参数[1:active,0:invalid]:",
      "第八个命令行参数[生成的最终bin]:",
  };
  std::string text = gbk("总有" + std::to_string(w.size()) + "个命令行参数\n");
  for (std::size_t i = 0; i < 9; ++i) {
    text += gbk(labels[i]) + w[i] + "\n";
  }
  char values[256];
  std::snprintf(values, sizeof values,
                "src1=%s\nsrc2=%s\nsrc3=%s\ndes=%s\nlaod_addr1=0x%08x\nlaod_addr2=0x%08x\n"
                "status1=%d\nstatus2=%d\n",
                w[1].c_str(), w[2].c_str(), w[5].c_str(), w[8].c_str(), load1, load2, status1,
                status2);
  return text + values;
}

std::string usage_text() {
  return gbk(
      "命令参数中请加上源文件名、加载域地址、状态和目的文件名，比如：velmora.exe boot2 s1.bin "
      "0x10000000 1 s2.bin 0x11000000 0  download.bin\n");
}

TEST(VelmoraDialogue, TooFewWordsPrintCountAndUsage) {
  for (std::size_t args = 0; args < 8; ++args) {
    SCOPED_TRACE(args);
    const ChildResult r = run_velmora(std::vector<std::string>(args, "x"));
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out, console_text(gbk("总有" + std::to_string(args + 1) + "个命令行参数\n") +
                                  usage_text()));
    // Byte counts known apart from the conversion above: the count line is 18 bytes with one
    // digit, the usage text 134, each with one line end.
    const std::size_t line_ends = windows_target() ? 2 : 0;
    EXPECT_EQ(r.out.size(), 18u + 134u + line_ends);
  }
}

TEST(VelmoraDialogue, EchoesWordsThenValuesThenSuccess) {
  ScratchDir dir;
  Inputs in;
  in.boot = {1, 2, 3};
  in.app1 = Bytes(0x1234, 0x11);
  in.load_addr1 = "12-34";
  in.status1 = "ff";
  in.app2 = Bytes(0x100, 0x22);
  in.load_addr2 = "0X0x110000";  // printed with its leading zeros
  in.status2 = "80";
  const Composed c = compose(dir, in);
  std::vector<std::string> words = velmora_words(dir, in);
  words.insert(words.begin(), velmora_path());
  const std::string expected =
      console_text(expected_dialogue(words, 0x1234, 0x110000, -1, -128) + success_line);
  if (!running_under_runner()) {
    EXPECT_EQ(c.run.out, expected);
  } else {
    // Under a runner word 0 is the runner's idea of the program name: compare the rest.
    const std::size_t second_line = expected.find(gbk("第一个"));
    ASSERT_NE(c.run.out.find(gbk("第一个")), std::string::npos);
    EXPECT_EQ(c.run.out.substr(c.run.out.find(gbk("第一个"))), expected.substr(second_line));
  }
  EXPECT_EQ(c.run.exit_status, 0);
}

TEST(VelmoraDialogue, ExtraWordsAreCountedAndOtherwiseIgnored) {
  ScratchDir dir;
  Inputs in;
  write_bytes(dir.file("boot.bin"), {});
  write_bytes(dir.file("app1.bin"), {});
  write_bytes(dir.file("app2.bin"), {});
  std::vector<std::string> words = velmora_words(dir, in);
  words.push_back("extra");
  const ChildResult r = run_velmora(words);
  EXPECT_EQ(r.exit_status, 0);
  const std::string count_line = console_text(gbk("总有10个命令行参数\n"));
  EXPECT_EQ(r.out.substr(0, count_line.size()), count_line);
  EXPECT_EQ(r.out.find("extra"), std::string::npos);
}

TEST(VelmoraDialogue, PathBytesAreUsedAndEchoedUnchanged) {
  if (windows_target()) {
    GTEST_SKIP() << "Wine turns command-line words into Windows text through its code pages";
  }
  ScratchDir dir;
  Inputs in;
  const std::string boot = dir.file(gbk("引导") + ".bin");  // GBK bytes, not valid UTF-8
  const std::string out = dir.file(gbk("输出") + "\xff.bin");
  write_bytes(boot, {0x42});
  write_bytes(dir.file("app1.bin"), {});
  write_bytes(dir.file("app2.bin"), {});
  std::vector<std::string> words = velmora_words(dir, in);
  words[0] = boot;
  words[7] = out;
  const ChildResult r = run_velmora(words);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.out.find(gbk("第一个命令行参数[bootloader program ]:") + boot + "\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("des=" + out + "\n"), std::string::npos);
  ASSERT_TRUE(file_exists(out));
  EXPECT_EQ(read_bytes(out).at(0), 0x42);
}

TEST(VelmoraDialogue, StatusWordsKeepTheirLowEightBitsSigned) {
  struct Case {
    const char* word;
    const char* printed;
    std::uint32_t stored;
  };
  const Case cases[] = {{"1", "status1=1\n", 1},     {"0", "status1=0\n", 0},
                        {"100", "status1=0\n", 0},   {"ff", "status1=-1\n", 1},
                        {"80", "status1=-128\n", 1}, {"2", "status1=2\n", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    ScratchDir dir;
    Inputs in;
    in.status1 = c.word;
    const Composed composed = compose(dir, in);
    EXPECT_NE(composed.run.out.find(console_text(c.printed)), std::string::npos);
    ASSERT_EQ(composed.image.size(), 0x3000u);
    EXPECT_EQ(get_le32(composed.image.data(), 0x2000), c.stored);
  }
}

TEST(VelmoraWait, FailureShowsItsMessageThenWaitsForOneCharacter) {
  // Long enough for the program to start and print; a runner may start slowly.
  const int silence_ms = running_under_runner() ? 5000 : 1000;
  const WaitResult w = run_velmora_with_silent_stdin({"too", "few"}, silence_ms);
  EXPECT_TRUE(w.still_running_after_silence);
  EXPECT_EQ(w.out_before_input, console_text(gbk("总有3个命令行参数\n") + usage_text()));
  EXPECT_EQ(w.result.out, w.out_before_input);
  EXPECT_EQ(w.result.exit_status, 255);
}

// The wait takes exactly one byte: the rest of a piped input stays for whoever reads next, so
// a loop that feeds velmora one line at a time runs once for each line.
TEST(VelmoraWait, FailureReadsExactlyOneByteOfItsInput) {
  ScratchDir dir;
  std::string command = "printf 'abc' | { ";
  for (const std::string& word : velmora_command()) {
    command += "'" + word + "' ";
  }
  command += "too few >/dev/null; cat; } >'" + dir.file("rest") + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(read_bytes(dir.file("rest")), (Bytes{'b', 'c'}));
}

TEST(VelmoraWait, SuccessEndsWithoutReadingInput) {
  ScratchDir dir;
  write_bytes(dir.file("boot.bin"), {});
  write_bytes(dir.file("app1.bin"), {});
  write_bytes(dir.file("app2.bin"), {});
  // The silence ends as soon as the program does; one that read its input would stay.
  const WaitResult w = run_velmora_with_silent_stdin(velmora_words(dir, Inputs{}), 60000);
  EXPECT_FALSE(w.still_running_after_silence);
  EXPECT_TRUE(w.result.out.ends_with(console_text(success_line)));
  EXPECT_EQ(w.result.exit_status, 0);
}

}  // namespace
