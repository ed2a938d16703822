#include "fileio/os_file.h"

#include <cerrno>
#include <vector>

namespace {

// Moves up to `length` bytes in calls of at most `chunk`, reading into `to` where it is set,
// else writing from `from`; a call that moves nothing or fails ends it, unless a signal
// interrupted it. Returns how many moved.
std::int64_t transfer(int fd, std::int64_t offset, std::uint8_t* to, const std::uint8_t* from,
                      std::int64_t length) {
  const std::int64_t chunk = to != nullptr ? io_chunk : write_chunk;
  std::int64_t done = 0;
  while (done < length) {
    const std::int64_t want = length - done < chunk ? length - done : chunk;
    const std::int64_t at = offset < 0 ? -1 : offset + done;
    const long long got = to != nullptr ? move_some_at(fd, at, to + done, nullptr, want)
                                        : move_some_at(fd, at, nullptr, from + done, want);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    done += got;
  }
  return done;
}

}  // namespace

std::int64_t read_up_to_at(int fd, std::int64_t offset, std::uint8_t* destination,
                           std::int64_t length) {
  return transfer(fd, offset, destination, nullptr, length);
}

bool write_all_at(int fd, std::int64_t offset, const std::uint8_t* source, std::int64_t length) {
  return transfer(fd, offset, nullptr, source, length) == length;
}

bool copy_from_start(int from, int to) {
  StatBuf st{};
  if (stat_fd(from, &st) != 0) {
    return false;
  }
  const std::int64_t length = st.st_size;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(length < io_chunk ? length : io_chunk));
  for (std::int64_t offset = 0; offset < length; offset += io_chunk) {
    const std::int64_t want = length - offset < io_chunk ? length - offset : io_chunk;
    if (read_up_to_at(from, offset, buffer.data(), want) != want ||
        !write_all_at(to, -1, buffer.data(), want)) {
      return false;
    }
  }
  return true;
}
