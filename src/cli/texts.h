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
// The echo line of each command-line word, word 0 first.
inline constexpr const char* text_echo_lines[] = {
    // 可 执 行文 件 名:%s
    "\xbf\xc9 \xd6\xb4 \xd0\xd0\xce\xc4 \xbc\xfe \xc3\xfb:%s\n",
    // 第一个命令行参数[bootloader program ]:%s
    "\xb5\xda\xd2\xbb\xb8\xf6\xc3\xfc\xc1\xee\xd0\xd0\xb2\xce\xca\xfd[bootloader program ]:%s\n",
    // 第二个命令行参数[APP1 program]:%s
    "\xb5\xda\xb6\xfe\xb8\xf6\xc3\xfc\xc1\xee\xd0\xd0\xb2\xce\xca\xfd[APP1 program]:%s\n",
    // 第三个命令行参数[load_addr: sector align]:%s
    "\xb5\xda\xc8\xfd\xb8\xf6\xc3\xfc\xc1\xee\xd0\xd0\xb2\xce\xca\xfd[load_addr: sector "
    "align]:%s\n",
    // 第四个命令行参数[1:active,0:invalid]:%s
    "\xb5\xda\xcb\xc4\xb8\xf6\xc3\xfc\xc1\xee\xd0\xd0\xb2\xce\xca\xfd[1:active,0:invalid]:%s\n",
    // 第五个命令行参数[APP2 program]:%s
    "\xb5\xda\xce\xe5\xb8\xf6\xc3\xfc\xc1\xee\xd0\xd0\xb2\xce\xca\xfd[APP2 program]:%s\n",
    // 第六个命令行参数[load_addr: sector align]:%s
    "\xb5\xda\xc1\xf9\xb8\xf6\xc3\xfc\xc1\xee\xd0\xd0\xb2\xce\xca\xfd[load_addr: sector "
    "align]:%s\n",
    // 第七个命令行参数[1:active,0:invalid]:%s
    "\xb5\xda\xc6\xdf\xb8\xf6\xc3\xfc\xc1\xee\xd0\xd0\xb2\xce\xca\xfd[1:active,0:invalid]:%s\n",
    // 第八个命令行参数[生成的最终bin]:%s
    "\xb5\xda\xb0\xcb\xb8\xf6\xc3\xfc\xc1\xee\xd0\xd0\xb2\xce\xca\xfd["
    "\xc9\xfa\xb3\xc9\xb5\xc4\xd7\xee\xd6\xd5"
    "bin]:%s\n",
};

// The values read from the words. "laod" is how the value lines have always been spelt;
// scripts may match it.
inline constexpr char text_values[] =
    "src1=%s\nsrc2=%s\nsrc3=%s\ndes=%s\nlaod_addr1=0x%08x\nlaod_addr2=0x%08x\nstatus1=%d\n"
    "status2=%d\n";
inline constexpr char text_success[] = "updata file success !\n";
