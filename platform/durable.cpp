// Durable files on POSIX: every descriptor here is opened non-blocking and
// looked at before it is used, every sync passes through sync_one.
#include "platform/durable.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace plat {
namespace {

std::atomic<sync_hook> g_sync_hook{nullptr};
std::atomic<unsigned long> g_syncs{0};

// The one sync of the program's durable files.
bool sync_one(int fd, const std::string& path, bool folder) {
  g_syncs++;
  sync_hook hook = g_sync_hook.load();
  if (hook && !hook(path, folder)) {
    errno = EIO;
    return false;
  }
  int r;
  while ((r = fsync(fd)) != 0 && errno == EINTR) {
  }
  // Some file systems cannot sync a folder at all; their names are as
  // durable as they will ever be.
  return r == 0 || (folder && errno == EINVAL);
}

std::string absolute_env(const char* name) {
  const char* v = getenv(name);
  return v && *v == '/' ? std::string(v) : std::string();
}

bool write_fully(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t w = write(fd, s.data() + done, s.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return false;
    if (w == 0) {
      errno = ENOSPC;
      return false;
    }
    done += (size_t)w;
  }
  return true;
}

void set_error(int* error, int e) {
  if (error) *error = e;
}

}  // namespace

// ---- where things live ---------------------------------------------------------

std::string home_folder() {
  std::string h = absolute_env("HOME");
  if (!h.empty()) return h;
  struct passwd pw, *res = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_dir && *res->pw_dir == '/')
    return res->pw_dir;
  return "";
}

std::string config_home() {
  std::string d = absolute_env("XDG_CONFIG_HOME");
  if (!d.empty()) return d;
  std::string h = home_folder();
  return h.empty() ? h : h + "/.config";
}

std::string data_home() {
  std::string d = absolute_env("XDG_DATA_HOME");
  if (!d.empty()) return d;
  std::string h = home_folder();
  return h.empty() ? h : h + "/.local/share";
}

std::string runtime_dir() { return absolute_env("XDG_RUNTIME_DIR"); }

std::string folder_of(const std::string& path) {
  size_t s = path.rfind('/');
  if (s == std::string::npos) return ".";
  return s == 0 ? "/" : path.substr(0, s);
}

// ---- syncs ---------------------------------------------------------------------

sync_hook set_sync_hook(sync_hook hook) { return g_sync_hook.exchange(hook); }

unsigned long sync_count() { return g_syncs.load(); }

bool sync_folder(const std::string& dir, int* error) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    set_error(error, errno);
    return false;
  }
  bool ok = sync_one(fd, dir, true);
  int e = errno;
  ::close(fd);
  if (!ok) set_error(error, e);
  return ok;
}

bool make_folders(const std::string& dir, unsigned mode, int* error) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    set_error(error, ENOTDIR);
    return false;
  }
  if (errno != ENOENT) {
    set_error(error, errno);
    return false;
  }
  std::string parent = folder_of(dir);
  if (parent != dir && !make_folders(parent, mode, error)) return false;
  if (mkdir(dir.c_str(), (mode_t)mode) != 0) {
    // Made by someone else in the meantime is as good.
    if (errno == EEXIST && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    set_error(error, errno);
    return false;
  }
  // The first file written into it must not lose its folder to a crash.
  return sync_folder(parent, error);
}

bool folder_writable(const std::string& dir, int* error) {
  struct stat st;
  std::string d = dir;
  while (stat(d.c_str(), &st) != 0) {
    int e = errno;
    std::string parent = folder_of(d);
    if (e != ENOENT || parent == d) {
      set_error(error, e);
      return false;
    }
    d = parent;
  }
  if (!S_ISDIR(st.st_mode)) {
    set_error(error, ENOTDIR);
    return false;
  }
  if (access(d.c_str(), W_OK | X_OK) != 0) {
    set_error(error, errno);
    return false;
  }
  return true;
}

bool replace_file(const std::string& path, const std::string& content, unsigned mode, int* error) {
  std::string tmp = path + ".new";
  // Whatever a writer that died left under the temporary name (even a link
  // or a FIFO planted there) is removed, never opened: the new file is ours.
  if (unlink(tmp.c_str()) != 0 && errno != ENOENT) {
    set_error(error, errno);
    return false;
  }
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    set_error(error, errno);
    return false;
  }
  bool ok = fchmod(fd, (mode_t)mode) == 0 && write_fully(fd, content) && sync_one(fd, tmp, false);
  int e = errno;
  if (::close(fd) != 0 && ok) ok = false, e = errno;
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false, e = errno;
  if (!ok) {
    unlink(tmp.c_str());
    set_error(error, e);
    return false;
  }
  return sync_folder(folder_of(path), error);
}

// ---- durable_file -------------------------------------------------------------------

durable_file::durable_file(durable_file&& o) noexcept : fd_(o.fd_), err_(o.err_), path_(std::move(o.path_)) {
  o.fd_ = -1;
}

durable_file& durable_file::operator=(durable_file&& o) noexcept {
  if (this != &o) {
    close();
    fd_ = o.fd_;
    err_ = o.err_;
    path_ = std::move(o.path_);
    o.fd_ = -1;
  }
  return *this;
}

bool durable_file::open(const std::string& path, unsigned how, unsigned mode, long long max_size) {
  close();
  path_ = path;
  err_ = 0;
  int flags = ((how & FILE_WRITE) ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if ((how & FILE_WRITE) && (how & FILE_CREATE)) flags |= O_CREAT;
  if (how & FILE_APPEND) flags |= O_APPEND;
  if (how & FILE_NO_FOLLOW) flags |= O_NOFOLLOW;
  // Non-blocking, so that a FIFO without a writer (or a device that waits
  // for a line) cannot hold open() for ever; the type is then looked at on
  // what was opened, not on the name, which could have changed in between.
  int fd;
  while ((fd = ::open(path.c_str(), flags, (mode_t)mode)) < 0 && errno == EINTR) {
  }
  if (fd < 0) {
    err_ = errno;
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    err_ = errno;
    ::close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode) || (max_size >= 0 && st.st_size > max_size)) {
    err_ = S_ISREG(st.st_mode) ? FILE_TOO_LARGE : FILE_NOT_REGULAR;
    ::close(fd);
    return false;
  }
  int fl = fcntl(fd, F_GETFL);
  if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
    err_ = errno;
    ::close(fd);
    return false;
  }
  int lock = (how & FILE_LOCK_EXCLUSIVE) ? LOCK_EX : (how & FILE_LOCK_SHARED) ? LOCK_SH : 0;
  if (lock) {
    int r;
    while ((r = flock(fd, lock)) != 0 && errno == EINTR) {
    }
    if (r != 0) {
      err_ = errno;
      ::close(fd);
      return false;
    }
  }
  fd_ = fd;
  return true;
}

long long durable_file::size() {
  struct stat st;
  if (fd_ < 0) {
    err_ = EBADF;
    return -1;
  }
  if (fstat(fd_, &st) != 0) {
    err_ = errno;
    return -1;
  }
  return (long long)st.st_size;
}

bool durable_file::read_all(std::string& out, long long max_size) {
  out.clear();
  if (fd_ < 0) {
    err_ = EBADF;
    return false;
  }
  long long known = size();
  if (known > 0 && (max_size < 0 || known <= max_size)) out.reserve((size_t)known);
  char buf[65536];
  long long at = 0;
  for (;;) {
    ssize_t r = pread(fd_, buf, sizeof buf, (off_t)at);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      err_ = errno;
      return false;
    }
    if (r == 0) return true;
    out.append(buf, (size_t)r);
    at += r;
    if (max_size >= 0 && at > max_size) {
      err_ = FILE_TOO_LARGE;
      return false;
    }
  }
}

bool durable_file::append(const std::string& text) {
  if (fd_ < 0) {
    err_ = EBADF;
    return false;
  }
  off_t before = lseek(fd_, 0, SEEK_END);
  if (before < 0) {
    err_ = errno;
    return false;
  }
  if (write_fully(fd_, text) && sync()) return true;
  int e = errno;
  // Cut back to where the file ended, so that the part that did reach the
  // file (a disk filling up in the middle of the text) is not taken for a
  // record by the next reader. The cut is synced too, as well as it goes.
  if (ftruncate(fd_, before) == 0) sync_one(fd_, path_, false);
  lseek(fd_, before, SEEK_SET);
  err_ = e;
  return false;
}

bool durable_file::sync() {
  if (fd_ < 0) {
    err_ = EBADF;
    return false;
  }
  if (sync_one(fd_, path_, false)) return true;
  err_ = errno;
  return false;
}

int durable_file::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void durable_file::close() {
  if (fd_ >= 0) ::close(fd_);  // closing lets the flock go
  fd_ = -1;
}

}  // namespace plat
