// Composition of the download image: planned from the inputs' lengths, then made one stretch
// at a time in one pass over the inputs, the header last once the checksums are known.
#pragma once

#include <cstdint>
#include <string>

#include "common/run_args.h"
#include "fileio/output_file.h"
#include "fileio/read_file.h"
#include "image/boot_header.h"
#include "image/layout.h"

// The image is made in stretches of this many bytes: each application's bytes are read,
// checksummed and reversed while still in the processor's cache, then written (bench/README.md).
// A whole number of pages, so that an application's part of a stretch starts on one of its words.
inline constexpr std::int64_t stretch_size = std::int64_t{256} << 10;
static_assert(stretch_size % page_size == 0);

// The plan of one image: its header (every field but the checksums) and its layout.
struct ImagePlan {
  BootHeader header;
  ImageLayout layout;
};

// Why no image can be made from inputs of these lengths.
enum class PlanRefusal {
  none,
  input_too_long,       // an input of 2 GiB or more: the input at `refused_input`
  image_too_large,      // the image would be 2 GiB or more
  bootloader_too_long,  // the bootloader would reach past the image's end
};

// The bootloader, APP1 and APP2, in that order.
struct ImageInputs {
  ByteSource sources[3];
};

// Plans the image for inputs of these lengths, or says why it cannot be made.
PlanRefusal plan_image(const RunArgs& args, const ImageInputs& inputs, ImagePlan& plan,
                       int& refused_input);

// The checksums of the applications' bytes read so far, before reversal.
struct Checksums {
  std::uint32_t app[2] = {0, 0};
};

// An input that could not be read: which one (0 to 2) and the reader's text.
struct ReadFailure {
  int input = -1;
  std::string error;
};

// Makes the image bytes [start, end) in `stretch` (a stretch at a time, in order from 0): the
// inputs' bytes, the applications' checksummed into `sums` and reversed in the high window, and
// 0xFF where nothing reaches; the header comes last. False, with `failure`, for a failed read.
bool make_stretch(const ImagePlan& plan, const ImageInputs& inputs, std::int64_t start,
                  std::int64_t end, std::uint8_t* stretch, Checksums& sums, ReadFailure& failure);

// After the last stretch: false, with `failure`, for an input that runs on past its length.
bool inputs_ended(const ImageInputs& inputs, ReadFailure& failure);

// The 256 header bytes, with both checksums and the header's own filled in.
HeaderBytes finish_header(ImagePlan& plan, const Checksums& sums);

// One run of velmora: the inputs, open, the plan and the stretch buffer.
struct Composition {
  ReadFile files[3];
  ImageInputs inputs;
  ImagePlan plan;
  void* stretch_block = nullptr;    // as allocated
  std::uint8_t* stretch = nullptr;  // its first page boundary
};

// Opens the bootloader, APP1 and APP2 and plans the image, ending the run on a refusal: an
// input of 2 GiB or more (-6), an image of 2 GiB or more (-7), a bootloader longer than the
// image (-8); then allocates the stretch buffer ("malloc memory fail !", -3). Only then is the
// first input that could not be opened reported (-1): it counts 0 bytes until then.
void start_composition(const RunArgs& args, Composition& c);

// Writes the whole image into `out`, the header last, and puts it in place, or ends the run:
// "Can not write the path" (-4) for no room, a byte not written or an output that cannot be put
// in place; "Can not read the path" (-5) for an input that does not deliver exactly its length.
void compose_download_image(Composition& c, OutputFile& out);
