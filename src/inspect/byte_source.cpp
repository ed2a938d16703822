#include "inspect/byte_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fileio/os_file.h"

namespace {

std::string system_text(int error_number) {
  return std::strerror(error_number);
}

// Why a path that stat() saw is not a file to read.
std::string not_regular_reason(const StatBuf& st) {
  return is_directory(st) ? system_text(EISDIR) : "not a regular file (a pipe, device or socket)";
}

}  // namespace

bool open_read_file(const char* path, ReadFile& file, std::string& error) {
  const std::string name = path;
  StatBuf st{};
  // The path is looked at before it is opened, so that a pipe or a device is never opened.
  if (path[0] == '\0') {
    error = "'': cannot open: " + system_text(ENOENT);
    return false;
  }
  if (stat_path(path, &st) != 0) {
    error = name + ": cannot open: " + system_text(errno);
    return false;
  }
  if (!is_regular(st)) {
    error = name + ": cannot open: " + not_regular_reason(st);
    return false;
  }
  const int fd = open_for_reading(path);
  if (fd < 0) {
    error = name + ": cannot open: " + system_text(errno);
    return false;
  }
  if (stat_fd(fd, &st) != 0 || !is_regular(st)) {
    const int why = errno;
    close_fd(fd);
    error = name + ": cannot open: " + (is_regular(st) ? system_text(why) : not_regular_reason(st));
    return false;
  }
  file.fd = fd;
  file.length = static_cast<std::int64_t>(st.st_size);
  file.path = name;
  return true;
}

void close_read_file(ReadFile& file) {
  if (file.fd >= 0) {
    close_fd(file.fd);
  }
  file.fd = -1;
}

ByteSource file_source(ReadFile& file) {
  ByteSource source;
  source.file = &file;
  source.length = file.length;
  return source;
}

ByteSource memory_source(const std::uint8_t* bytes, std::int64_t length) {
  ByteSource source;
  source.bytes = bytes;
  source.length = length;
  return source;
}

bool read_source(const ByteSource& source, std::int64_t offset, std::uint8_t* to,
                 std::int64_t count, std::string& error) {
  if (source.file == nullptr) {
    if (count > 0) {
      std::memcpy(to, source.bytes + offset, static_cast<std::size_t>(count));
    }
    return true;
  }
  // A call that fails sets errno; a file that ends early leaves it at 0.
  errno = 0;
  if (read_up_to_at(source.file->fd, offset, to, count) != count) {
    error = source.file->path + ": cannot read: " +
            (errno != 0 ? system_text(errno) : "the file ended early (it changed while read)");
    return false;
  }
  return true;
}

std::vector<std::uint8_t> stretch_buffer(std::int64_t most) {
  const std::int64_t words = (std::max<std::int64_t>(most, 0) + 3) / 4 * 4;
  return std::vector<std::uint8_t>(static_cast<std::size_t>(std::min(words, stretch_bytes)));
}
