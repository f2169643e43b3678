// The settings hive: the registry as REGEDIT4 text files, one per root.
//
// HKEY_CURRENT_USER lives in ${XDG_CONFIG_HOME:-~/.config}/veskor/, the
// machine root in /etc/veskor/ (VESKOR_SYSTEM_HIVE names another file, for
// tests and unusual installations), HKEY_CLASSES_ROOT is the machine root's
// SOFTWARE\Classes. Keys created volatile go to a second file per root under
// $XDG_RUNTIME_DIR/veskor/ (or a private /tmp/veskor-<uid>/), which the
// system empties at reboot.
//
// Nothing is kept open between calls: every call looks at the file again
// (a parsed copy is reused while the file's identity is unchanged), and
// every change is a read-modify-write of the whole file under an flock on
// "<file>.lock", finished by writing "<file>.new", fsync, rename over the
// file and fsync of the folder (platform/durable). Readers therefore always
// see a whole file, old or new, and never need the lock. A hive or lock
// file that is not a regular file (a FIFO, a device) is never waited on:
// the hive is then unreadable.
//
// The keys and values in memory and their REGEDIT4 text are
// platform/hive.*; here are the files and the open keys.
//
// A file we cannot parse completely is never written again: what could be
// read from it stays readable, and every change is refused, so the user's
// hand edits survive until someone repairs them.
#include "platform/base.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "platform/durable.h"
#include "platform/hive.h"

namespace plat {
using namespace settings;
namespace {

enum { ROOT_USER = 0, ROOT_MACHINE = 1 };
const char* const ROOT_NAMES[2] = {"HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};

// Rights that change something: set value, create sub-key, create link,
// delete, write DAC, write owner.
constexpr unsigned WRITE_RIGHTS = 0x0002 | 0x0004 | 0x0020 | 0x00010000 | 0x00040000 | 0x00080000;

// Larger files are not ours: treat them as unparseable rather than reading
// them into memory.
constexpr long long MAX_HIVE_BYTES = 64LL << 20;

struct file_id {
  bool valid = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {}, ctime = {};
  bool operator==(const file_id& o) const {
    return valid == o.valid && dev == o.dev && ino == o.ino && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

// Where one hive file of a root lives.
struct location {
  int root = ROOT_USER;
  bool vol = false;
  std::string file, dir;
};

struct cached {
  file_id id;
  hive h;
};

struct file_lock {
  durable_file f;
  int depth = 0;
};

constexpr uint32_t HANDLE_MAGIC = 0x6B657952;  // "Reyk"

struct handle {
  uint32_t magic = HANDLE_MAGIC;
  int root = ROOT_USER;
  bool vol = false;       // the key lives in the volatile file
  std::string path;
  bool write = false;     // opened with rights to change it
  int locks = 0;          // reg_lock calls not yet undone through this handle
  std::string lock_file;  // what they locked
};

// One thread runs the program, but the hive may be reached from others (the
// tests do); every call holds this, and reg_lock keeps it until reg_unlock
// so that the process's other threads wait as other processes do.
std::recursive_mutex g_mu;
std::map<std::string, cached> g_cache;
std::map<std::string, file_lock> g_locks;  // by lock-file path
std::set<handle*> g_handles;

// ---- where the files are ------------------------------------------------------

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

// The volatile folder may sit in the shared /tmp: use it only when it is a
// real folder of ours that nobody else can write into.
bool private_dir_ok(const std::string& dir) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

bool usable(const location& loc) { return !loc.vol || private_dir_ok(loc.dir); }

// Whether a change could be written: the file (if any) and its folder (or
// the nearest folder that exists, which the folder would be made in).
bool location_writable(const location& loc) {
  if (!usable(loc)) return false;
  if (access(loc.file.c_str(), F_OK) == 0) return access(loc.file.c_str(), W_OK) == 0 && access(loc.dir.c_str(), W_OK | X_OK) == 0;
  std::string d = loc.dir;
  for (;;) {
    struct stat st;
    if (stat(d.c_str(), &st) == 0) return S_ISDIR(st.st_mode) && access(d.c_str(), W_OK | X_OK) == 0;
    if (errno != ENOENT || d == "/") return false;
    d = folder_of(d);
  }
}

// ---- reading ---------------------------------------------------------------

file_id id_of(const struct stat& st) {
  file_id id;
  id.valid = true;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = st.st_size;
  id.mtime = st.st_mtim;
  id.ctime = st.st_ctim;
  return id;
}

// The hive as the file holds it now. A missing file is an empty hive.
hive& load(const location& loc) {
  cached& c = g_cache[loc.file];
  struct stat st;
  if (!usable(loc)) {
    c = cached();
    c.h.readable = false;
    return c.h;
  }
  if (stat(loc.file.c_str(), &st) != 0) {
    c = cached();
    if (errno != ENOENT) c.h.readable = false;
    return c.h;
  }
  if (c.id.valid && c.id == id_of(st)) return c.h;
  c = cached();
  // A FIFO or a device in the hive's place is refused, not waited on.
  durable_file f;
  if (!f.open(loc.file, 0, 0, MAX_HIVE_BYTES)) {
    c.h.readable = f.error() == ENOENT;
    return c.h;
  }
  std::string text;
  bool ok = fstat(f.fd(), &st) == 0 && f.read_all(text, MAX_HIVE_BYTES);
  f.close();
  if (!ok) {
    c.h.readable = false;
    return c.h;
  }
  parse_hive(text, ROOT_NAMES[loc.root], c.h);
  c.id = id_of(st);
  return c.h;
}

// ---- writing ---------------------------------------------------------------

// Replaces the file with text so that a crash at any instant leaves either
// the old file or the new one, and the new one survives a power loss once
// this returns.
long replace_file(const location& loc, const std::string& text) {
  std::string target = loc.file;
  struct stat st;
  mode_t mode = loc.root == ROOT_MACHINE && !loc.vol ? 0644 : 0600;
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
  if (plat::replace_file(target, text, mode, &e)) return ERROR_SUCCESS;
  return e == EACCES || e == EPERM || e == EROFS ? ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT;
}

bool prepare_dir(const location& loc) {
  if (!make_folders(loc.dir, loc.root == ROOT_MACHINE && !loc.vol ? 0755 : 0700)) return false;
  return usable(loc);
}

// Takes the cross-process lock of the location (nesting counts).
bool lock_location(const location& loc) {
  std::string path = loc.file + ".lock";
  file_lock& l = g_locks[path];
  if (l.depth > 0) {
    l.depth++;
    return true;
  }
  // A hive we may only read can still be locked through a lock file that
  // exists, so that readers of a series wait for its writer. A lock file
  // that is no regular file is refused rather than waited on.
  const unsigned how = FILE_NO_FOLLOW | FILE_LOCK_EXCLUSIVE;
  bool writable = prepare_dir(loc);
  if (!writable || !l.f.open(path, how | FILE_WRITE | FILE_CREATE, 0600)) {
    if (writable && l.f.error() == FILE_NOT_REGULAR) return false;
    if (!l.f.open(path, how)) return false;
  }
  l.depth = 1;
  return true;
}

void unlock_file(const std::string& lock_file) {
  auto it = g_locks.find(lock_file);
  if (it == g_locks.end() || it->second.depth == 0) return;
  if (--it->second.depth == 0) it->second.f.close();  // the flock goes with it
}

// Runs change on a fresh copy of the hive under the lock and writes the
// result when change reports that something changed.
template <class F>
long modify(const location& loc, F change) {
  if (!location_writable(loc) || !prepare_dir(loc)) return ERROR_ACCESS_DENIED;
  if (!lock_location(loc)) return ERROR_ACCESS_DENIED;
  long rc;
  const hive& now = load(loc);
  if (!now.readable || now.damaged) {
    rc = ERROR_ACCESS_DENIED;
  } else {
    hive next = now;
    bool changed = false;
    rc = change(next, changed);
    if (rc == ERROR_SUCCESS && changed) {
      rc = replace_file(loc, hive_text(next, ROOT_NAMES[loc.root]));
      if (rc == ERROR_SUCCESS) {
        struct stat st;
        cached& c = g_cache[loc.file];
        c = cached();
        if (stat(loc.file.c_str(), &st) == 0) {
          c.h = std::move(next);
          c.id = id_of(st);
        }
      }
    }
  }
  unlock_file(loc.file + ".lock");
  return rc;
}

// ---- handles ---------------------------------------------------------------

// The root a predefined handle stands for and the path prefix it adds.
bool root_of(void* root, int& r, std::vector<std::string>& prefix) {
  prefix.clear();
  if (root == HKEY_CURRENT_USER) {
    r = ROOT_USER;
  } else if (root == HKEY_LOCAL_MACHINE) {
    r = ROOT_MACHINE;
  } else if (root == HKEY_CLASSES_ROOT) {
    r = ROOT_MACHINE;
    prefix = {"SOFTWARE", "Classes"};
  } else {
    return false;
  }
  return true;
}

handle* live(void* key) {
  handle* h = (handle*)key;
  return g_handles.count(h) && h->magic == HANDLE_MAGIC ? h : nullptr;
}

// A handle, or a predefined root used as a key (a temporary handle on it).
bool resolve(void* key, handle& tmp, handle*& h) {
  h = live(key);
  if (h) return true;
  std::vector<std::string> prefix;
  if (!root_of(key, tmp.root, prefix)) return false;
  tmp.vol = false;
  tmp.path = join(prefix);
  tmp.write = true;
  h = &tmp;
  return true;
}

// Parent handle and sub-path joined into (root, full path).
long full_path(void* parent, const char* sub, int& root, std::string& path, bool& parent_vol) {
  std::vector<std::string> parts;
  if (!split_path(sub, parts)) return ERROR_INVALID_PARAMETER;
  handle tmp, *h;
  if (!resolve(parent, tmp, h)) return ERROR_INVALID_HANDLE;
  root = h->root;
  parent_vol = h->vol;
  path = h->path;
  for (const auto& p : parts) path += (path.empty() ? "" : "\\") + p;
  return ERROR_SUCCESS;
}

void* new_handle(int root, bool vol, const std::string& path, bool write) {
  handle* h = new handle;
  h->root = root;
  h->vol = vol;
  h->path = path;
  h->write = write;
  g_handles.insert(h);
  return h;
}

long open_existing(int root, const std::string& path, unsigned access, void** key) {
  for (int vol = 0; vol < 2; vol++) {
    location loc;
    if (!locate(root, vol != 0, loc)) continue;
    const hive& h = load(loc);
    if (!h.readable) {
      if (!vol) return ERROR_ACCESS_DENIED;
      continue;
    }
    // The root key exists in the persistent file whether or not anything
    // is stored there.
    if (!h.exists(path)) continue;
    bool write = (access & WRITE_RIGHTS) != 0;
    if (write && (h.damaged || !location_writable(loc))) return ERROR_ACCESS_DENIED;
    *key = new_handle(root, vol != 0, h.spelling(path), write);
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

}  // namespace

long reg_open_key(void* root, const char* path, unsigned access, void** key) {
  if (!key) return ERROR_INVALID_PARAMETER;
  *key = nullptr;
  std::lock_guard<std::recursive_mutex> g(g_mu);
  int r;
  std::string full;
  bool parent_vol;
  long rc = full_path(root, path, r, full, parent_vol);
  if (rc != ERROR_SUCCESS) return rc;
  return open_existing(r, full, access, key);
}

long reg_create_key(void* root, const char* path, unsigned options, unsigned access, void** key) {
  if (!key) return ERROR_INVALID_PARAMETER;
  *key = nullptr;
  std::lock_guard<std::recursive_mutex> g(g_mu);
  int r;
  std::string full;
  bool parent_vol;
  long rc = full_path(root, path, r, full, parent_vol);
  if (rc != ERROR_SUCCESS) return rc;
  rc = open_existing(r, full, access, key);
  if (rc != ERROR_FILE_NOT_FOUND) return rc;

  location pers, vol;
  if (!locate(r, false, pers) || !locate(r, true, vol)) return ERROR_ACCESS_DENIED;
  bool want_vol = (options & REG_OPTION_VOLATILE) != 0;
  // Keys under a volatile key must be volatile themselves, or they would
  // outlive their parent at the next reboot. Only the keys made volatile
  // count: the parts of their paths above them are ordinary keys here.
  if (!want_vol) {
    if (parent_vol) return ERROR_CHILD_MUST_BE_VOLATILE;
    hive& vh = load(vol);
    const hive& ph = load(pers);
    if (vh.readable) {
      std::string p = full;
      while (!p.empty()) {
        size_t bs = p.rfind('\\');
        p = bs == std::string::npos ? "" : p.substr(0, bs);
        if (!p.empty() && vh.find(p) && !ph.exists(p)) return ERROR_CHILD_MUST_BE_VOLATILE;
      }
    }
  }
  // Volatile machine keys need the right to change the machine root.
  if (want_vol && r == ROOT_MACHINE && !location_writable(pers)) return ERROR_ACCESS_DENIED;
  const location& loc = want_vol ? vol : pers;
  std::string stored = full;
  rc = modify(loc, [&](hive& h, bool& changed) {
    // Another process may have made it in the meantime.
    if (h.exists(full)) {
      stored = h.spelling(full);
      return (long)ERROR_SUCCESS;
    }
    // Parts of the path that exist keep their spelling.
    stored = h.spelling(full);
    h.add(stored);
    changed = true;
    return (long)ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  *key = new_handle(r, want_vol, stored, (access & WRITE_RIGHTS) != 0);
  return ERROR_SUCCESS;
}

long reg_query_value(void* key, const char* name, unsigned* type, unsigned char* data, unsigned* size) {
  std::lock_guard<std::recursive_mutex> g(g_mu);
  handle tmp, *h;
  if (!resolve(key, tmp, h)) return ERROR_INVALID_HANDLE;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  location loc;
  if (!locate(h->root, h->vol, loc)) return ERROR_FILE_NOT_FOUND;
  hive& hv = load(loc);
  if (!hv.readable) return ERROR_ACCESS_DENIED;
  reg_key* k = hv.find(h->path);
  reg_value* v = k ? k->find(name ? name : "") : nullptr;
  if (!v) return ERROR_FILE_NOT_FOUND;
  if (type) *type = v->type;
  if (!size) return ERROR_SUCCESS;
  unsigned room = *size;
  *size = (unsigned)v->data.size();
  if (!data) return ERROR_SUCCESS;
  if (room < v->data.size()) return ERROR_MORE_DATA;
  if (!v->data.empty()) memcpy(data, v->data.data(), v->data.size());
  return ERROR_SUCCESS;
}

long reg_set_value(void* key, const char* name, unsigned type, const unsigned char* data, unsigned size) {
  std::lock_guard<std::recursive_mutex> g(g_mu);
  handle tmp, *h;
  if (!resolve(key, tmp, h)) return ERROR_INVALID_HANDLE;
  if (!h->write) return ERROR_ACCESS_DENIED;
  std::string n = name ? name : "";
  if (n.size() > MAX_NAME || !name_ok(n) || (size > 0 && !data)) return ERROR_INVALID_PARAMETER;
  reg_value nv{n, type, size ? std::string((const char*)data, size) : std::string()};
  std::string text;
  // Stored as it will read back from the file: a text always terminated.
  if (type == REG_SZ && text_form(nv.data, text)) nv.data = text + '\0';
  location loc;
  if (!locate(h->root, h->vol, loc)) return ERROR_ACCESS_DENIED;
  return modify(loc, [&](hive& hv, bool& changed) {
    reg_key* k = hv.find(h->path);
    // The key was taken out of the file by hand while we held it open: it
    // comes back with the value.
    if (!k) k = &hv.add(h->path);
    reg_value* v = k->find(n);
    if (v && v->type == nv.type && v->data == nv.data) return (long)ERROR_SUCCESS;
    k->put(nv);
    changed = true;
    return (long)ERROR_SUCCESS;
  });
}

long reg_delete_value(void* key, const char* name) {
  std::lock_guard<std::recursive_mutex> g(g_mu);
  handle tmp, *h;
  if (!resolve(key, tmp, h)) return ERROR_INVALID_HANDLE;
  if (!h->write) return ERROR_ACCESS_DENIED;
  std::string n = name ? name : "";
  location loc;
  if (!locate(h->root, h->vol, loc)) return ERROR_ACCESS_DENIED;
  // Look before taking the lock: deleting what is not there writes nothing.
  {
    hive& hv = load(loc);
    reg_key* k = hv.find(h->path);
    if (hv.readable && (!k || !k->find(n))) return ERROR_FILE_NOT_FOUND;
  }
  return modify(loc, [&](hive& hv, bool& changed) {
    reg_key* k = hv.find(h->path);
    if (!k || !k->erase(n)) return (long)ERROR_FILE_NOT_FOUND;
    changed = true;
    return (long)ERROR_SUCCESS;
  });
}

long reg_close_key(void* key) {
  std::lock_guard<std::recursive_mutex> g(g_mu);
  int r;
  std::vector<std::string> prefix;
  if (root_of(key, r, prefix)) return ERROR_SUCCESS;
  handle* h = live(key);
  if (!h) return ERROR_INVALID_HANDLE;
  while (h->locks > 0) reg_unlock(h);
  g_handles.erase(h);
  h->magic = 0;
  delete h;
  return ERROR_SUCCESS;
}

bool reg_lock(void* key) {
  g_mu.lock();
  handle* h = live(key);
  location loc;
  if (!h || !locate(h->root, h->vol, loc) || (h->locks > 0 && h->lock_file != loc.file + ".lock") ||
      !lock_location(loc)) {
    g_mu.unlock();
    return false;
  }
  h->lock_file = loc.file + ".lock";
  h->locks++;
  // g_mu stays held until the matching reg_unlock.
  return true;
}

void reg_unlock(void* key) {
  std::lock_guard<std::recursive_mutex> g(g_mu);
  handle* h = live(key);
  if (!h || h->locks == 0) return;
  unlock_file(h->lock_file);
  h->locks--;
  g_mu.unlock();
}

}  // namespace plat
