// Comparison of an image with what velmora writes from a set of inputs, region by region: the
// expected image is made by velmora's own composer a stretch at a time, beside the same stretch
// of the image, never whole in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/run_args.h"
#include "inspect/byte_source.h"
#include "inspect/diff.h"
#include "inspect/inspect.h"

struct AgainstReport {
  std::int64_t length = 0;                    // the image's
  std::int64_t expected_length = 0;           // L from the inputs
  std::int64_t input_lengths[3] = {0, 0, 0};  // bootloader, APP1, APP2
  // The rows that differ, A the image and B the inputs, in image order, the length last; empty
  // when identical. A bytes row counts only the bytes both sides hold.
  std::vector<RegionDiff> differences;
  // Set by the run, not by compare_against: the likely mistakes the inputs and the image show,
  // each a CheckResult with Verdict::warn; and, with --readback, how many bytes of the dump
  // follow the image's end.
  std::vector<CheckResult> warnings;
  bool readback = false;
  std::int64_t tail_bytes = 0;
};

// The three inputs and the image. Where an input would make velmora refuse to write any image
// (an input of 2 GiB or more, an image that would be, a bootloader longer than the image), or
// a file cannot be read, returns false with `error` naming the path and the reason.
bool compare_against(const RunArgs& args, const ByteSource& boot, const ByteSource& app1,
                     const ByteSource& app2, const ByteSource& image, AgainstReport& report,
                     std::string& error);
