#include "inspect/warnings.h"

#include <algorithm>
#include <string>
#include <utility>

#include "cli/hex_arg.h"
#include "image/boot_header.h"
#include "image/layout.h"
#include "inspect/mistakes.h"

bool against_warnings(const RunArgs& args, char* const* words, const ByteSource (&inputs)[3],
                      const InspectReport& image, AgainstReport& report, std::string& error) {
  // The descriptors velmora writes from these inputs, as far as the checks need them, and the
  // first bytes of each input.
  InspectReport velmora;
  velmora.app1.stored = describe_application(args.load_addr1, args.status1);
  velmora.app2.stored = describe_application(args.load_addr2, args.status2);
  const ImageLayout layout = plan_layout(report.input_lengths[1], report.input_lengths[2]);
  velmora.app1.stored.size = static_cast<std::uint32_t>(layout.app1_size);
  velmora.app2.stored.size = static_cast<std::uint32_t>(layout.app2_size);
  std::string* starts[3] = {&velmora.boot_start, &velmora.app1.start, &velmora.app2.start};
  for (int i = 0; i < 3; ++i) {
    if (!read_start(inputs[i], 0, inputs[i].length, false, *starts[i], error)) {
      return false;
    }
  }
  // The status words as typed: velmora keeps only their low 8 bits.
  const InputFacts facts{report.input_lengths[0],
                         {hex_arg_value(words[3]), hex_arg_value(words[6])},
                         args.status1,
                         args.status2};
  std::vector<CheckResult> out = input_warnings(velmora, facts);
  constexpr int numeric[4] = {2, 3, 5, 6};  // where the numbers stand among the seven words
  for (int i = 0; i < 4; ++i) {
    for (WordFinding& f : word_findings(i, words[numeric[i]])) {
      out.push_back({f.name, Verdict::warn, std::move(f.detail)});
    }
  }
  for (const CheckResult& c : image.checks) {
    const bool named = std::any_of(out.begin(), out.end(), [&](const CheckResult& o) {
      return std::string(o.name) == c.name;
    });
    if (c.verdict == Verdict::warn && !named) {
      out.push_back(c);
    }
  }
  report.warnings = std::move(out);
  return true;
}
