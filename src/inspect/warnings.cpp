#include "inspect/warnings.h"

#include <string>
#include <utility>

#include "image/boot_header.h"
#include "image/layout.h"

namespace {

bool named(const std::vector<CheckResult>& list, const char* name) {
  for (const CheckResult& c : list) {
    if (std::string(c.name) == name) {
      return true;
    }
  }
  return false;
}

}  // namespace

void against_warnings(const RunArgs& args, const StatusWords& words, const InspectReport& image,
                      AgainstReport& report) {
  // The descriptors velmora writes from these inputs, as far as the load ranges need them.
  InspectReport velmora;
  velmora.app1.stored = describe_application(args.load_addr1, args.status1);
  velmora.app2.stored = describe_application(args.load_addr2, args.status2);
  const ImageLayout layout = plan_layout(report.input_lengths[1], report.input_lengths[2]);
  velmora.app1.stored.size = static_cast<std::uint32_t>(layout.app1_size);
  velmora.app2.stored.size = static_cast<std::uint32_t>(layout.app2_size);
  std::vector<CheckResult> out = input_warnings(
      velmora, InputFacts{report.input_lengths[0], words, args.status1, args.status2});
  for (const CheckResult& c : image.checks) {
    if (c.verdict == Verdict::warn && !named(out, c.name)) {
      out.push_back(c);
    }
  }
  report.warnings = std::move(out);
}
