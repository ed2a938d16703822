// Composition of the download image, written straight into its output one stretch at a time.
#pragma once

#include <cstdint>

#include "common/run_args.h"
#include "fileio/output_file.h"
#include "fileio/whole_file.h"
#include "image/boot_header.h"
#include "image/layout.h"

// The image is composed in stretches of this many bytes, held in one buffer allocated once:
// each application's bytes are read, checksummed and reversed there while they are still in
// the processor's cache, then written. 256 KiB composed a 1 GiB image fastest here, about 10 %
// faster than 1 MiB, whose stretch and page cache no longer fit the cache together. A whole
// number of pages, so that every application starts a stretch on a word boundary.
inline constexpr std::int64_t stretch_size = std::int64_t{256} << 10;
static_assert(stretch_size % page_size == 0);

// One image being made: its header (every field but the checksums until they are known), its
// layout and the buffer for its stretches.
struct DownloadImage {
  BootHeader header;
  ImageLayout layout;
  std::int32_t boot_length = 0;
  std::int32_t length = 0;  // L: a multiple of 0x1000, at least 0x3000
  std::uint8_t* stretch = nullptr;
};

// The three inputs, open for reading.
struct ImageInputs {
  InputFile boot;
  InputFile app1;
  InputFile app2;
};

// Learns the inputs' lengths, refuses an image that cannot be made (an input of 2 GiB or
// more, an image of 2 GiB or more, a bootloader longer than the image) and allocates the
// stretch buffer ("malloc memory fail !" when it cannot be had). A file that cannot be opened
// counts 0 here; opening it reports it.
DownloadImage plan_download_image(const RunArgs& args);

// Opens the bootloader, APP1 and APP2 in that order; the first that cannot be opened ends
// the run.
ImageInputs open_image_inputs(const RunArgs& args);

// Writes the whole image into `out` and puts it in place, or ends the run: an input that
// delivers fewer bytes than its length (or other bytes in a second reading) with "Can not read
// the path", a byte not written with "Can not write the path". Where the output is a
// temporary file, the image is written in one pass and the header last; where the bytes land
// in the user's file as they are written, every input is read whole and both applications
// checksummed first, so that an input that cannot be read leaves that file as it was. The
// inputs are closed before the output takes its place.
void compose_download_image(DownloadImage& image, ImageInputs& inputs, OutputFile& out);

void release_download_image(DownloadImage& image);
