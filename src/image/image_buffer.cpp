#include "image/image_buffer.h"

#include <cstdlib>

// On Linux the buffer is mapped directly and marked for transparent huge pages: the first
// touch of a large image then faults once per 2 MiB instead of once per 4 KiB, which
// otherwise costs about as much as the rest of the composition. Under AddressSanitizer it
// comes from malloc, so that any access past its end is caught.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#define VELMORA_MAP_IMAGE 1
#include <sys/mman.h>
#else
#define VELMORA_MAP_IMAGE 0
#endif

std::uint8_t* allocate_image_buffer(std::size_t length) {
#if VELMORA_MAP_IMAGE
  void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    return nullptr;
  }
#ifdef MADV_HUGEPAGE
  // Only advice: without huge pages the buffer still works, with small ones.
  (void)madvise(mapped, length, MADV_HUGEPAGE);
#endif
  return static_cast<std::uint8_t*>(mapped);
#else
  return static_cast<std::uint8_t*>(std::malloc(length));
#endif
}

void free_image_buffer(std::uint8_t* bytes, std::size_t length) {
#if VELMORA_MAP_IMAGE
  if (bytes != nullptr) {
    (void)munmap(bytes, length);
  }
#else
  (void)length;
  std::free(bytes);
#endif
}
