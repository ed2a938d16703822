#include "support/model.h"

#include <algorithm>

namespace {

void put32(Bytes& image, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

std::size_t pages_of(std::size_t length) {
  return (length + 0xFFF) / 0x1000;
}

}  // namespace

std::uint32_t model_crc(const std::uint8_t* bytes, std::size_t count) {
  std::uint32_t crc = 0;
  for (std::size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
  }
  return crc;
}

std::uint32_t model_crc(const Bytes& bytes) {
  return model_crc(bytes.data(), bytes.size());
}

std::uint32_t model_number(const std::string& word) {
  return static_cast<std::uint32_t>(std::stoul(word, nullptr, 16));
}

Bytes model_image(const Bytes& boot, const ModelApp& app1, const ModelApp& app2) {
  const std::size_t app2_at = (3 + pages_of(app1.bytes.size())) * 0x1000;
  Bytes image((3 + pages_of(app1.bytes.size()) + pages_of(app2.bytes.size())) * 0x1000, 0xFF);
  std::copy(boot.begin(), boot.end(), image.begin());
  const struct {
    const ModelApp& app;
    std::size_t at;
    std::size_t descriptor;
  } apps[] = {{app1, 0x3000, 0x2000}, {app2, app2_at, 0x2030}};
  std::fill_n(image.begin() + 0x2000, 0x100, std::uint8_t{0});
  for (const auto& a : apps) {
    const bool high = a.app.load_addr >= 0x11000000u;
    put32(image, a.descriptor + 0x00, a.app.status != 0 ? 1 : 0);
    put32(image, a.descriptor + 0x04, high && a.app.status > 1 ? 0x8000 : 0);
    put32(image, a.descriptor + 0x08, model_crc(a.app.bytes));
    put32(image, a.descriptor + 0x0C, static_cast<std::uint32_t>(a.at));
    put32(image, a.descriptor + 0x10, static_cast<std::uint32_t>(a.app.bytes.size()));
    put32(image, a.descriptor + 0x20, a.app.load_addr);
    const std::size_t n = a.app.bytes.size();
    for (std::size_t i = 0; i < n; ++i) {
      // In the high window byte i of a whole word is stored at the mirror place in its word.
      const std::size_t word = i / 4 * 4;
      const std::size_t to = high && word + 4 <= n ? word + 3 - i % 4 : i;
      image[a.at + to] = a.app.bytes[i];
    }
  }
  put32(image, 0x20F0, model_crc(image.data() + 0x2000, 0xF0));
  return image;
}
