// Taking an image apart into the files it was composed from.
#pragma once

#include <string>

#include "inspect/byte_source.h"
#include "inspect/inspect.h"

enum class ExtractOutcome { written, not_in_file, exists, cannot_write };

// Writes boot.bin, header.bin, app1.bin and app2.bin into `dir`, creating it if needed; the
// applications exactly `size` bytes each and un-reversed, each read from the image a stretch
// at a time. All four or none: each part is written whole into a temporary file beside its
// target, and the four are then renamed into place with every catchable signal held, so that a
// failure puts the old files back and a signal ends the run once all four are new. A target
// is a new name or, with `force`, a regular file with one name whose owner, group, mode and
// extended attributes the new file can take; anything else (a symbolic link, a file with other
// names, a mount point, a FIFO, a device, a directory, another user's file, the image itself)
// refuses the whole extraction before anything is written. Nothing the run made (temporary
// files, directories) outlives a failure or a catchable signal. `error` names the path and
// the reason when the outcome is not `written`.
ExtractOutcome extract_parts(const ByteSource& image, const InspectReport& r,
                             const std::string& dir, bool force, std::string& error);
