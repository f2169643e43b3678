// Files of the record bases: plain POSIX descriptors held under flock, so a
// base that holds its file open (tdbase::lock) keeps every other opener -
// in this process or another - waiting until it lets go.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/base.h"

namespace plat {

int dbf_open(const char* path, bool create, bool* read_only) {
  if (read_only) *read_only = false;
  if (!path || !*path) return DBF_FAILED;
  std::string fs = path_to_fs(path);
  int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = ::open(fs.c_str(), flags, 0666);
  if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
    fd = ::open(fs.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && read_only) *read_only = true;
  }
  if (fd < 0) return DBF_FAILED;
  // Records live in regular files only: a device or a pipe named by
  // mistake must not be written over or read from.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return DBF_FAILED;
  }
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    int e = errno;
    ::close(fd);
    return e == EWOULDBLOCK ? DBF_BUSY : DBF_FAILED;
  }
  return fd;
}

void dbf_close(int h) {
  if (h >= 0) ::close(h);  // closing drops the flock
}

long long dbf_length(int h) {
  struct stat st;
  if (h < 0 || fstat(h, &st) != 0) return -1;
  return (long long)st.st_size;
}

int dbf_read(int h, long long offset, void* data, int n) {
  if (h < 0 || n < 0 || offset < 0) return -1;
  int done = 0;
  while (done < n) {
    ssize_t r = ::pread(h, (char*)data + done, n - done, offset + done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return done ? done : -1;
    if (r == 0) break;
    done += (int)r;
  }
  return done;
}

int dbf_write(int h, long long offset, const void* data, int n) {
  if (h < 0 || n < 0 || offset < 0) return -1;
  int done = 0;
  while (done < n) {
    ssize_t r = ::pwrite(h, (const char*)data + done, n - done, offset + done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return done ? done : -1;
    done += (int)r;
  }
  return done;
}

bool dbf_truncate(int h, long long length) {
  return h >= 0 && length >= 0 && ::ftruncate(h, (off_t)length) == 0;
}

bool dbf_delete(const char* path) {
  if (!path || !*path) return false;
  return ::unlink(path_to_fs(path).c_str()) == 0;
}

}  // namespace plat
