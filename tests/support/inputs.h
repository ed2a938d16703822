// Writes three inputs into a scratch directory and composes them with the real velmora.
#pragma once

#include <string>

#include "image/layout.h"
#include "support/files.h"
#include "support/model.h"
#include "support/process.h"

struct Inputs {
  Bytes boot;
  Bytes app1;
  std::string load_addr1 = "0x10000000";
  std::string status1 = "1";
  Bytes app2;
  std::string load_addr2 = "0x11000000";
  std::string status2 = "1";
};

struct Composed {
  ChildResult run;
  Bytes image;  // the output file, empty when none was written
};

inline std::vector<std::string> velmora_words(const ScratchDir& dir, const Inputs& in,
                                              const std::string& out_name = "download.bin") {
  return {dir.file("boot.bin"), dir.file("app1.bin"), in.load_addr1, in.status1,
          dir.file("app2.bin"), in.load_addr2,        in.status2,    dir.file(out_name)};
}

inline Composed compose(const ScratchDir& dir, const Inputs& in, const ChildLimits& limits = {}) {
  write_bytes(dir.file("boot.bin"), in.boot);
  write_bytes(dir.file("app1.bin"), in.app1);
  write_bytes(dir.file("app2.bin"), in.app2);
  Composed c;
  c.run = run_velmora(velmora_words(dir, in), limits);
  if (file_exists(dir.file("download.bin"))) {
    c.image = read_bytes(dir.file("download.bin"));
  }
  return c;
}

// The image the inputs should give, from the independent model.
inline Bytes reference_image(const Inputs& in) {
  const auto app = [](const Bytes& bytes, const std::string& load, const std::string& status) {
    return ModelApp{bytes, model_number(load),
                    static_cast<std::int8_t>(model_number(status) & 0xFFu)};
  };
  return model_image(in.boot, app(in.app1, in.load_addr1, in.status1),
                     app(in.app2, in.load_addr2, in.status2));
}
