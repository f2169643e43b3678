// The settings hive files (see hive_file.h).
//
// HKEY_CURRENT_USER lives in ${XDG_CONFIG_HOME:-~/.config}/veskor/, the
// machine root in /etc/veskor/ (VESKOR_SYSTEM_HIVE names another file, for
// tests and unusual installations). Keys created volatile go to a second
// file per root under $XDG_RUNTIME_DIR/veskor/ (or a private
// /tmp/veskor-<uid>/), which the system empties at reboot.
#include "platform/hive_file.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include <utility>

#include "platform/base.h"

namespace plat {
namespace settings {

const char* const ROOT_NAMES[2] = {"HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};

namespace {

// Larger files are not ours: treat them as unparseable rather than reading
// them into memory.
constexpr long long MAX_HIVE_BYTES = 64LL << 20;

// The volatile folder may sit in the shared /tmp: use it only when it is a
// real folder of ours that nobody else can write into.
bool private_dir_ok(const std::string& dir) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

bool usable(const location& loc) { return !loc.vol || private_dir_ok(loc.dir); }

bool system_root(const location& loc) { return loc.root == ROOT_MACHINE && !loc.vol; }

bool prepare_dir(const location& loc) {
  if (!make_folders(loc.dir, system_root(loc) ? 0755 : 0700)) return false;
  return usable(loc);
}

// Replaces the file with text so that a crash at any instant leaves either
// the old file or the new one, and the new one survives a power loss once
// this returns.
long write_file(const location& loc, const std::string& text) {
  std::string target = loc.file;
  struct stat st;
  mode_t mode = system_root(loc) ? 0644 : 0600;
  if (lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // A hive linked from elsewhere (a dotfiles folder) stays linked: the
    // new file replaces the link's target.
    char* real = realpath(target.c_str(), nullptr);
    if (!real) return ERROR_ACCESS_DENIED;
    target = real;
    free(real);
  }
  if (stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
  // Writers are serialised by the lock, so the one fixed temporary name of
  // replace_file is enough, and a writer that died leaves at most that one
  // file behind for the next.
  int e = 0;
  if (replace_file(target, text, mode, &e)) return ERROR_SUCCESS;
  return e == EACCES || e == EPERM || e == EROFS ? ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT;
}

}  // namespace

bool locate(int root, bool vol, location& loc) {
  loc.root = root;
  loc.vol = vol;
  const std::string name = std::string(ROOT_NAMES[root]) + ".reg";
  if (vol) {
    std::string run = runtime_dir();
    if (!run.empty())
      loc.dir = run + "/veskor";
    else
      loc.dir = "/tmp/veskor-" + std::to_string((unsigned long)geteuid());
    loc.file = loc.dir + "/" + name;
    return true;
  }
  if (root == ROOT_USER) {
    std::string base = config_home();
    if (base.empty()) return false;
    loc.dir = base + "/veskor";
    loc.file = loc.dir + "/" + name;
    return true;
  }
  const char* sys = getenv("VESKOR_SYSTEM_HIVE");
  loc.file = sys && *sys == '/' ? std::string(sys) : "/etc/veskor/" + name;
  loc.dir = folder_of(loc.file);
  return true;
}

bool location_writable(const location& loc) {
  if (!usable(loc)) return false;
  if (access(loc.file.c_str(), F_OK) == 0) return access(loc.file.c_str(), W_OK) == 0 && access(loc.dir.c_str(), W_OK | X_OK) == 0;
  return folder_writable(loc.dir);
}

bool hive_files::file_id::operator==(const file_id& o) const {
  return valid == o.valid && dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
         mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
}

hive_files::file_id hive_files::id_of(const struct stat& st) {
  file_id id;
  id.valid = true;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = st.st_size;
  id.mtime = st.st_mtim;
  id.ctime = st.st_ctim;
  return id;
}

hive& hive_files::load(const location& loc) {
  cached& c = cache_[loc.file];
  struct stat st;
  if (!usable(loc)) {
    c = cached();
    c.h.readable = false;
    return c.h;
  }
  if (stat(loc.file.c_str(), &st) != 0) {
    int e = errno;
    c = cached();
    c.h.readable = e == ENOENT;
    return c.h;
  }
  // The parsed copy stands for the file while the file is the same one,
  // unchanged.
  if (c.id.valid && c.id == id_of(st)) return c.h;
  c = cached();
  c.h.readable = read(loc, c);
  return c.h;
}

// Reads and parses the file into a fresh c; false when it cannot be read
// (gone in the meantime counts as read: an empty hive).
bool hive_files::read(const location& loc, cached& c) {
  // A FIFO or a device in the hive's place is refused, not waited on.
  durable_file f;
  if (!f.open(loc.file, 0, 0, MAX_HIVE_BYTES)) return f.error() == ENOENT;
  std::string text;
  struct stat st;
  bool ok = fstat(f.fd(), &st) == 0 && f.read_all(text, MAX_HIVE_BYTES);
  f.close();
  if (!ok) return false;
  parse_hive(text, ROOT_NAMES[loc.root], c.h);
  c.id = id_of(st);
  return true;
}

long hive_files::modify(const location& loc, const std::function<long(hive&, bool&)>& change) {
  if (!location_writable(loc) || !prepare_dir(loc)) return ERROR_ACCESS_DENIED;
  if (!lock(loc)) return ERROR_ACCESS_DENIED;
  long rc = ERROR_ACCESS_DENIED;
  const hive& now = load(loc);
  if (now.readable && !now.damaged) {
    hive next = now;
    bool changed = false;
    rc = change(next, changed);
    if (rc == ERROR_SUCCESS && changed) {
      rc = write_file(loc, hive_text(next, ROOT_NAMES[loc.root]));
      if (rc == ERROR_SUCCESS) keep(loc, std::move(next));
    }
  }
  unlock(loc.lock_file());
  return rc;
}

// What was just written stands for the file from now on, without reading it
// back.
void hive_files::keep(const location& loc, hive&& written) {
  struct stat st;
  cached& c = cache_[loc.file];
  c = cached();
  if (stat(loc.file.c_str(), &st) == 0) {
    c.h = std::move(written);
    c.id = id_of(st);
  }
}

bool hive_files::lock(const location& loc) {
  file_lock& l = locks_[loc.lock_file()];
  if (l.depth > 0) {
    l.depth++;
    return true;
  }
  // A hive we may only read can still be locked through a lock file that
  // exists, so that readers of a series wait for its writer. A lock file
  // that is no regular file is refused rather than waited on.
  const unsigned how = FILE_NO_FOLLOW | FILE_LOCK_EXCLUSIVE;
  bool writable = prepare_dir(loc);
  if (!writable || !l.f.open(loc.lock_file(), how | FILE_WRITE | FILE_CREATE, 0600)) {
    if (writable && l.f.error() == FILE_NOT_REGULAR) return false;
    if (!l.f.open(loc.lock_file(), how)) return false;
  }
  l.depth = 1;
  return true;
}

void hive_files::unlock(const std::string& lock_file) {
  auto it = locks_.find(lock_file);
  if (it == locks_.end() || it->second.depth == 0) return;
  if (--it->second.depth == 0) it->second.f.close();  // the flock goes with it
}

}  // namespace settings
}  // namespace plat
