// Taking an image apart into the files it was composed from.
#pragma once

#include <string>

#include "inspect/byte_source.h"
#include "inspect/inspect.h"

enum class ExtractOutcome { written, not_in_file, exists, cannot_write };

// Writes boot.bin, header.bin, app1.bin and app2.bin into `dir`, creating it if needed; the
// applications exactly `size` bytes each and un-reversed, each read from the image a stretch
// at a time. All four or none: every target is checked and opened before the first byte is
// written, and a failure at any point leaves none of the four parts behind (a file that was
// there keeps its bytes, or gets them back). Writes nothing when a part lies outside the file,
// when a target exists already and `force` is not set, when a target is the image itself, or
// when it is a FIFO or device that no one reads. `error` names the path and the reason when
// the outcome is not `written`.
ExtractOutcome extract_parts(const ByteSource& image, const InspectReport& r,
                             const std::string& dir, bool force, std::string& error);
