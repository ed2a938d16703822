// The velmora-inspect program: its command line, reading the image, taking it apart and the
// whole run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inspect/inspect.h"

struct InspectOptions {
  const char* image = nullptr;
  const char* extract_dir = nullptr;
  bool force = false;
  bool json = false;
  bool help = false;
  bool version = false;
};

extern const char inspect_usage[];

// Reads the command line; false, with `error` saying why, for a usage error.
bool parse_inspect_options(int argc, char* const argv[], InspectOptions& options,
                           std::string& error);

// Reads the whole file into `bytes`, which get exactly the file's length. Only a regular file
// under 2 GiB is read. False, with `error` naming the path, when it cannot be read.
bool load_image(const char* path, std::vector<std::uint8_t>& bytes, std::string& error);

enum class ExtractOutcome { written, not_in_file, exists, cannot_write };

// Writes boot.bin, header.bin, app1.bin and app2.bin into `dir`, creating it if needed; the
// applications exactly `size` bytes each and un-reversed. Writes nothing when a part lies
// outside the file, or when a file exists already and `force` is not set. `error` says why
// the outcome is not `written`.
ExtractOutcome extract_parts(const std::uint8_t* bytes, const InspectReport& r,
                             const std::string& dir, bool force, std::string& error);

// The whole run; returns the exit status.
int run_inspect(int argc, char* const argv[]);
