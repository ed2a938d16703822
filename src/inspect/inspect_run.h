// The velmora-inspect program: its command line and the whole run.
#pragma once

#include <string>
#include <vector>

// The seven input words that --against takes, in velmora's order: BOOT APP1 LOAD_ADDR1
// STATUS1 APP2 LOAD_ADDR2 STATUS2; the image stands in the place of velmora's output.
inline constexpr int against_word_count = 7;

struct InspectOptions {
  char* image = nullptr;
  const char* extract_dir = nullptr;
  char* const* against = nullptr;      // the seven input words, when given
  char* diff[2] = {nullptr, nullptr};  // the two images of --diff, when given
  bool force = false;
  bool json = false;
  bool map = false;
  bool quiet = false;
  bool readback = false;
  bool strict = false;             // every warning not in `allow` fails the run
  std::vector<const char*> allow;  // the warnings --allow names
  bool help = false;
  bool version = false;
};

extern const char inspect_usage[];

// Reads the command line; false, with `error` saying why, for a usage error.
bool parse_inspect_options(int argc, char* const argv[], InspectOptions& options,
                           std::string& error);

// The whole run; returns the exit status.
int run_inspect(int argc, char* const argv[]);
