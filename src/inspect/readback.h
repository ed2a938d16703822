// Flash read-backs: a dump of the device's flash region holds the image and then erased
// flash, 0xFF, to the region's end. The image's end comes from its header.
#pragma once

#include <string>

#include "inspect/against.h"
#include "inspect/byte_source.h"
#include "inspect/inspect.h"

// Inspects the image at the front of `dump` and checks that every byte after its end is 0xFF
// (the check readback_tail, after all the others). Where the header is missing or damaged, or
// lays out an image longer than the dump, the end is unknown: the whole dump is judged as the
// image, as without --readback, and readback_tail warns saying why. False, with `error`
// naming the path and the reason, only when the file cannot be read.
bool inspect_readback(const ByteSource& dump, InspectReport& report, std::string& error);

// The same for a comparison with the inputs: the image ends where the inputs say. A dump
// longer than that whose tail is all 0xFF loses its `length` difference; one with another
// byte there has it replaced by the bytes difference readback_tail.
bool judge_readback_tail(const ByteSource& dump, AgainstReport& report, std::string& error);
