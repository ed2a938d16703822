// What each platform supplies to the output routine in output_file.cpp.
#pragma once

#include "fileio/output_file.h"

// Closes the finished temporary file and puts it over the target: by rename where that
// keeps the file the user had, else by copying it into the target.
OutputOutcome replace_target(OutputFile& file);
// A temporary file that leaves nothing behind when closed, for a staged output; -1 if none.
int create_stage();
