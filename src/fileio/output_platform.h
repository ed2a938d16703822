// What each platform supplies to the output routine in output_file.cpp.
#pragma once

#include "fileio/output_file.h"

// Puts the finished temporary file in place, by rename or by copy (see output_file.h). With
// `keep_old`, keeps what restore_output_file needs to undo it.
OutputOutcome put_output_in_place(OutputFile& file, bool keep_old);
