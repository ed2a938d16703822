// Any bytes make a verdict: inspecting an untrusted image never crashes, never reads outside
// the image and never allocates more than the image's size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "inspect/inspect.h"
#include "inspect/report_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that a read one byte past the end is caught.
  const std::vector<std::uint8_t> image(data, data + size);
  const InspectReport report = inspect_image(image.data(), static_cast<std::int64_t>(size));
  const int status = report_exit_status(report);
  if (status != inspect_exit_pass && status != inspect_exit_fail) {
    std::abort();
  }
  if (report.checks.empty()) {
    std::abort();
  }
  (void)report_text("fuzz.bin", report);
  (void)report_json("fuzz.bin", report);
  return 0;
}
