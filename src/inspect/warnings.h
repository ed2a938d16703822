// The likely mistakes a comparison with the inputs can see that the image alone cannot: what
// the command line's words and the inputs' lengths say.
#pragma once

#include "common/run_args.h"
#include "inspect/against.h"
#include "inspect/inspect.h"

// Fills report.warnings: first what the inputs show (bootloader_input, app1_swapped,
// app2_swapped, and load_overlap, app1_load_window and app2_load_window for the
// header velmora writes from them), then every warning of the plain report on the image
// (`image`) whose name is not among them already.
void against_warnings(const RunArgs& args, const StatusWords& words, const InspectReport& image,
                      AgainstReport& report);
