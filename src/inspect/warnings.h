// The likely mistakes a comparison with the inputs can see that the image alone cannot: what
// the command line's words and the inputs say.
#pragma once

#include <string>

#include "common/run_args.h"
#include "inspect/against.h"
#include "inspect/inspect.h"

// Fills report.warnings: first the rows of the checks judged on the inputs (`inputs`: the
// bootloader, APP1 and APP2) and the header velmora writes from them, then what velmora's
// reading of the numeric words among the seven --against `words` lost, then every warning of
// the plain report on the image (`image`) whose name is not among them already. False, with
// `error`, when an input's first bytes cannot be read.
bool against_warnings(const RunArgs& args, char* const* words, const ByteSource (&inputs)[3],
                      const InspectReport& image, AgainstReport& report, std::string& error);
