// Files named by the program's own (cp1251) paths.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace plat {

FILE* open_file_read(const char* cp1251_path, long max_size, bool* refused) {
  if (refused) *refused = false;
  if (!cp1251_path || !*cp1251_path) return nullptr;
  std::string fs = path_to_fs(cp1251_path);
  if (fs.empty()) return nullptr;
  // Non-blocking, so that opening a FIFO without a writer (or a device that
  // waits for a line) returns at once; the type is then looked at on what
  // was opened, not on the name, which could have changed in between.
  int fd;
  do {
    fd = open(fs.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  struct stat st;
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!regular || st.st_size > max_size) {
    close(fd);
    if (refused) *refused = true;
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* f = fdopen(fd, "rb");
  if (!f) close(fd);
  return f;
}

}  // namespace plat
