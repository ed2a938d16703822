// Composition of the download image from the run's arguments.
#pragma once

#include <cstdint>

#include "common/run_args.h"

// The finished image: one buffer of `length` bytes, owned by whoever receives it and given
// back with release_download_image.
struct DownloadImage {
  std::uint8_t* bytes = nullptr;
  std::int32_t length = 0;  // L: a multiple of 0x1000, at least 0x3000
};

// Reads the three inputs into their places, writes the boot header and reverses the words
// of high-window applications. Does not return when an input is refused or cannot be read,
// or the buffer cannot be had: the run has then ended through the failure ending.
DownloadImage compose_download_image(const RunArgs& args);

void release_download_image(DownloadImage& image);
