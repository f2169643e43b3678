// Files named by the program's own (cp1251) paths.
#include <cstdio>
#include <unistd.h>

#include "platform/durable.h"
#include "platform/base.h"

namespace plat {

FILE* open_file_read(const char* cp1251_path, long max_size, bool* refused) {
  if (refused) *refused = false;
  if (!cp1251_path || !*cp1251_path) return nullptr;
  std::string fs = path_to_fs(cp1251_path);
  if (fs.empty()) return nullptr;
  // A FIFO without a writer (or a device that waits for a line) is refused
  // at once rather than waited on.
  durable_file f;
  if (!f.open(fs, 0, 0, max_size)) {
    if (refused) *refused = f.error() == FILE_NOT_REGULAR || f.error() == FILE_TOO_LARGE;
    return nullptr;
  }
  int fd = f.release();
  FILE* out = fdopen(fd, "rb");
  if (!out) close(fd);
  return out;
}

}  // namespace plat
