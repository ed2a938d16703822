// Console texts of the run, as GBK bytes. The Chinese in the comment above each text is what
// its bytes say; the bytes are written as escapes so that every compiler keeps them exact,
// and they are printed without any character-set conversion.
#pragma once

// 总有%d个命令行参数
inline constexpr char text_count_line[] =
    "\xd7\xdc\xd3\xd0%d\xb8\xf6\xc3\xfc\xc1\xee\xd0\xd0\xb2\xce\xca\xfd\n";
// 命令参数中请加上源文件名、加载域地址、状态和目的文件名，比如：velmora.exe boot2 s1.bin 0x10000000
// 1 s2.bin 0x11000000 0  download.bin
inline constexpr char text_usage[] =
    "\xc3\xfc\xc1\xee\xb2\xce\xca\xfd\xd6\xd0\xc7\xeb\xbc\xd3\xc9\xcf\xd4\xb4\xce\xc4\xbc\xfe\xc3"
    "\xfb\xa1\xa2\xbc\xd3\xd4\xd8\xd3\xf2\xb5\xd8\xd6\xb7\xa1\xa2\xd7\xb4\xcc\xac\xba\xcd\xc4\xbf"
    "\xb5\xc4\xce\xc4\xbc\xfe\xc3\xfb\xa3\xac\xb1\xc8\xc8\xe7\xa3\xbavelmora.exe boot2 s1.bin "
    "0x10000000 1 s2.bin 0x11000000 0  download.bin\n";
// The echo line of word 0 and of each of the eight words after it (N from 一 to 八).
// 可 执 行文 件 名:%s
inline constexpr char text_echo_exe[] = "\xbf\xc9 \xd6\xb4 \xd0\xd0\xce\xc4 \xbc\xfe \xc3\xfb:%s\n";
// 第N个命令行参数[label]:%s
inline constexpr char text_echo_word[] =
    "\xb5\xda%s\xb8\xf6\xc3\xfc\xc1\xee\xd0\xd0\xb2\xce\xca\xfd[%s]:%s\n";
// 一 二 三 四 五 六 七 八
inline constexpr const char* text_echo_ordinals[] = {
    "\xd2\xbb", "\xb6\xfe", "\xc8\xfd", "\xcb\xc4", "\xce\xe5", "\xc1\xf9", "\xc6\xdf", "\xb0\xcb"};
// The labels; the last says 生成的最终bin (its "b" written as \x62, so that the escape ends).
inline constexpr const char* text_echo_labels[] = {
    "bootloader program ",
    "APP1 program",
    "load_addr: sector align",
    "1:active,0:invalid",
    "APP2 program",
    "load_addr: sector align",
    "1:active,0:invalid",
    "\xc9\xfa\xb3\xc9\xb5\xc4\xd7\xee\xd6\xd5\x62in"};

// The values read from the words. "laod" is how the value lines have always been spelt;
// scripts may match it.
inline constexpr char text_values[] =
    "src1=%s\nsrc2=%s\nsrc3=%s\ndes=%s\nlaod_addr1=0x%08x\nlaod_addr2=0x%08x\nstatus1=%d\n"
    "status2=%d\n";
inline constexpr char text_success[] = "updata file success !\n";
