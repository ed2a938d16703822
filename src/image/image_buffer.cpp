#include "image/image_buffer.h"

#include <cstdlib>

// On Linux a large buffer is mapped directly and marked for transparent huge pages: its first
// touch then faults once per 2 MiB instead of once per 4 KiB, which is otherwise one of the
// two largest costs of composing a large image. Under AddressSanitizer it comes from malloc,
// so that any access past its end is caught.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#define VELMORA_MAP_IMAGE 1
#include <sys/mman.h>
#else
#define VELMORA_MAP_IMAGE 0
#endif

#if VELMORA_MAP_IMAGE
namespace {

// Below a few huge pages a mapping of its own gains nothing measurable, and small images keep
// the plain allocation.
constexpr std::size_t map_min_length = std::size_t{4} << 20;

bool mapped_buffer(std::size_t length) {
  return length >= map_min_length;
}

}  // namespace
#endif

std::uint8_t* allocate_image_buffer(std::size_t length) {
#if VELMORA_MAP_IMAGE
  if (mapped_buffer(length)) {
    void* mapped =
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
      return nullptr;
    }
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages the buffer still works, with small ones.
    (void)madvise(mapped, length, MADV_HUGEPAGE);
#endif
    return static_cast<std::uint8_t*>(mapped);
  }
#endif
  return static_cast<std::uint8_t*>(std::malloc(length));
}

void free_image_buffer(std::uint8_t* bytes, std::size_t length) {
#if VELMORA_MAP_IMAGE
  if (mapped_buffer(length)) {
    if (bytes != nullptr) {
      (void)munmap(bytes, length);
    }
    return;
  }
#else
  (void)length;
#endif
  std::free(bytes);
}
