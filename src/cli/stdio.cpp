#include "cli/stdio.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/utf8.h"

namespace kestrune {

namespace {

bool is_white_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

}  // namespace

Status write_stdout(std::string_view bytes) {
  // Unbuffered: the bytes reach the reader before the next token is computed.
  while (!bytes.empty()) {
    ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return Ok{};
}

Result<std::optional<std::string>> read_stdin_line() {
  char* buf = nullptr;
  size_t cap = 0;
  errno = 0;
  ssize_t n = ::getline(&buf, &cap, stdin);
  if (n < 0) {
    int err = errno;
    bool failed = std::ferror(stdin) != 0;
    std::free(buf);
    if (failed) {
      std::clearerr(stdin);
      return os_error(err != 0 ? err : EIO);
    }
    return std::optional<std::string>{};
  }
  std::string line(buf, static_cast<size_t>(n));
  std::free(buf);
  if (utf8_error(line)) return Error{ErrorKind::InvalidData, "stream did not contain valid UTF-8"};
  return std::optional<std::string>{std::move(line)};
}

std::string_view trim_end_unicode(std::string_view s) {
  size_t end = s.size();
  while (end > 0) {
    size_t start = end - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    auto b0 = static_cast<unsigned char>(s[start]);
    uint32_t cp;
    if (b0 < 0x80) {
      cp = b0;
    } else {
      size_t len = end - start;
      cp = b0 & (len == 2 ? 0x1Fu : len == 3 ? 0x0Fu : 0x07u);
      for (size_t i = start + 1; i < end; ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3Fu);
    }
    if (!is_white_space(cp)) break;
    end = start;
  }
  return s.substr(0, end);
}

}  // namespace kestrune
