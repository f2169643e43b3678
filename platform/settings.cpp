// The settings hive: the registry as REGEDIT4 text files, one per root.
// This part holds the open keys and answers the registry calls of base.h;
// the keys and values in memory and their text are platform/hive.*, the
// files, their locks and atomic replace platform/hive_file.*.
//
// HKEY_CLASSES_ROOT is the machine root's SOFTWARE\Classes. A handle is a
// root and a path, nothing more: nothing is kept open between calls, every
// call looks at the file again (a parsed copy is reused while the file is
// unchanged), so another process's changes are seen at the next call.
#include "platform/base.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/hive.h"
#include "platform/hive_file.h"

namespace plat {
namespace settings {
namespace {

// Rights that change something: set value, create sub-key, create link,
// delete, write DAC, write owner.
constexpr unsigned WRITE_RIGHTS = 0x0002 | 0x0004 | 0x0020 | 0x00010000 | 0x00040000 | 0x00080000;

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

// The open keys of the process, and with them everything the hive keeps
// between calls: the hive files (parsed copies, cross-process locks) and
// the mutex that guards all of it.
class handle_table {
 public:
  long open(void* root, const char* path, unsigned access, void** key);
  long create(void* root, const char* path, unsigned options, unsigned access, void** key);
  long query(void* key, const char* name, unsigned* type, unsigned char* data, unsigned* size);
  long set(void* key, const char* name, unsigned type, const unsigned char* data, unsigned size);
  long remove(void* key, const char* name);
  long close(void* key);
  bool lock(void* key);
  void unlock(void* key);

 private:
  // One thread runs the program, but the hive may be reached from others
  // (the tests do); every call holds this, and lock() keeps it until
  // unlock() so that the process's other threads wait as other processes
  // do.
  std::recursive_mutex mu_;
  hive_files files_;
  std::set<handle*> handles_;

  handle* live(void* key);
  bool resolve(void* key, handle& tmp, handle*& h);
  long full_path(void* parent, const char* sub, int& root, std::string& path, bool& parent_vol);
  void* new_handle(int root, bool vol, const std::string& path, bool write);
  long open_existing(int root, const std::string& path, unsigned access, void** key);
  bool under_volatile(const location& pers, const location& vol, const std::string& path);
  long add_key(const location& loc, const std::string& path, std::string& stored);
};

handle* handle_table::live(void* key) {
  handle* h = (handle*)key;
  return handles_.count(h) && h->magic == HANDLE_MAGIC ? h : nullptr;
}

// A handle, or a predefined root used as a key (a temporary handle on it).
bool handle_table::resolve(void* key, handle& tmp, handle*& h) {
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
long handle_table::full_path(void* parent, const char* sub, int& root, std::string& path, bool& parent_vol) {
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

void* handle_table::new_handle(int root, bool vol, const std::string& path, bool write) {
  handle* h = new handle;
  h->root = root;
  h->vol = vol;
  h->path = path;
  h->write = write;
  handles_.insert(h);
  return h;
}

long handle_table::open_existing(int root, const std::string& path, unsigned access, void** key) {
  for (int vol = 0; vol < 2; vol++) {
    location loc;
    if (!locate(root, vol != 0, loc)) continue;
    const hive& h = files_.load(loc);
    if (!h.readable) {
      if (!vol) return ERROR_ACCESS_DENIED;
      continue;
    }
    // The root key exists in the persistent file whether or not anything
    // is stored there.
    if (!h.exists(path)) continue;
    bool write = (access & WRITE_RIGHTS) != 0;
    if (write && (h.damaged || !location_writable(loc))) return ERROR_ACCESS_DENIED;
    // The file keeps the case the key was made with.
    *key = new_handle(root, vol != 0, h.spelling(path), write);
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

long handle_table::open(void* root, const char* path, unsigned access, void** key) {
  if (!key) return ERROR_INVALID_PARAMETER;
  *key = nullptr;
  std::lock_guard<std::recursive_mutex> g(mu_);
  int r;
  std::string full;
  bool parent_vol;
  long rc = full_path(root, path, r, full, parent_vol);
  if (rc != ERROR_SUCCESS) return rc;
  return open_existing(r, full, access, key);
}

// Whether a lasting key at path would lie under a key made volatile, and so
// outlive it at the next reboot. Only the keys made volatile count: the
// parts of their paths above them are ordinary keys here.
bool handle_table::under_volatile(const location& pers, const location& vol, const std::string& path) {
  hive& vh = files_.load(vol);
  const hive& ph = files_.load(pers);
  if (!vh.readable) return false;
  std::string p = path;
  while (!p.empty()) {
    size_t bs = p.rfind('\\');
    p = bs == std::string::npos ? "" : p.substr(0, bs);
    if (!p.empty() && vh.find(p) && !ph.exists(p)) return true;
  }
  return false;
}

// Makes the key in the file; stored gets its path as the file spells it.
long handle_table::add_key(const location& loc, const std::string& path, std::string& stored) {
  return files_.modify(loc, [&](hive& h, bool& changed) {
    // Parts of the path that exist keep their spelling.
    stored = h.spelling(path);
    // Another process may have made it in the meantime.
    if (h.exists(path)) return (long)ERROR_SUCCESS;
    h.add(stored);
    changed = true;
    return (long)ERROR_SUCCESS;
  });
}

long handle_table::create(void* root, const char* path, unsigned options, unsigned access, void** key) {
  if (!key) return ERROR_INVALID_PARAMETER;
  *key = nullptr;
  std::lock_guard<std::recursive_mutex> g(mu_);
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
  if (!want_vol && (parent_vol || under_volatile(pers, vol, full))) return ERROR_CHILD_MUST_BE_VOLATILE;
  // Volatile machine keys need the right to change the machine root.
  if (want_vol && r == ROOT_MACHINE && !location_writable(pers)) return ERROR_ACCESS_DENIED;
  std::string stored;
  rc = add_key(want_vol ? vol : pers, full, stored);
  if (rc != ERROR_SUCCESS) return rc;
  *key = new_handle(r, want_vol, stored, (access & WRITE_RIGHTS) != 0);
  return ERROR_SUCCESS;
}

long handle_table::query(void* key, const char* name, unsigned* type, unsigned char* data, unsigned* size) {
  std::lock_guard<std::recursive_mutex> g(mu_);
  handle tmp, *h;
  if (!resolve(key, tmp, h)) return ERROR_INVALID_HANDLE;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  location loc;
  if (!locate(h->root, h->vol, loc)) return ERROR_FILE_NOT_FOUND;
  hive& hv = files_.load(loc);
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

long handle_table::set(void* key, const char* name, unsigned type, const unsigned char* data, unsigned size) {
  std::lock_guard<std::recursive_mutex> g(mu_);
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
  return files_.modify(loc, [&](hive& hv, bool& changed) {
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

long handle_table::remove(void* key, const char* name) {
  std::lock_guard<std::recursive_mutex> g(mu_);
  handle tmp, *h;
  if (!resolve(key, tmp, h)) return ERROR_INVALID_HANDLE;
  if (!h->write) return ERROR_ACCESS_DENIED;
  std::string n = name ? name : "";
  location loc;
  if (!locate(h->root, h->vol, loc)) return ERROR_ACCESS_DENIED;
  // Look before taking the lock: deleting what is not there writes nothing.
  {
    hive& hv = files_.load(loc);
    reg_key* k = hv.find(h->path);
    if (hv.readable && (!k || !k->find(n))) return ERROR_FILE_NOT_FOUND;
  }
  return files_.modify(loc, [&](hive& hv, bool& changed) {
    reg_key* k = hv.find(h->path);
    if (!k || !k->erase(n)) return (long)ERROR_FILE_NOT_FOUND;
    changed = true;
    return (long)ERROR_SUCCESS;
  });
}

long handle_table::close(void* key) {
  std::lock_guard<std::recursive_mutex> g(mu_);
  int r;
  std::vector<std::string> prefix;
  if (root_of(key, r, prefix)) return ERROR_SUCCESS;
  handle* h = live(key);
  if (!h) return ERROR_INVALID_HANDLE;
  while (h->locks > 0) unlock(h);
  handles_.erase(h);
  h->magic = 0;
  delete h;
  return ERROR_SUCCESS;
}

bool handle_table::lock(void* key) {
  mu_.lock();
  handle* h = live(key);
  location loc;
  if (!h || !locate(h->root, h->vol, loc) || (h->locks > 0 && h->lock_file != loc.lock_file()) || !files_.lock(loc)) {
    mu_.unlock();
    return false;
  }
  h->lock_file = loc.lock_file();
  h->locks++;
  // mu_ stays held until the matching unlock.
  return true;
}

void handle_table::unlock(void* key) {
  std::lock_guard<std::recursive_mutex> g(mu_);
  handle* h = live(key);
  if (!h || h->locks == 0) return;
  files_.unlock(h->lock_file);
  h->locks--;
  mu_.unlock();
}

handle_table& table() {
  // Never destroyed: a key closed by another static object's destructor at
  // exit must still find its table.
  static handle_table* t = new handle_table;
  return *t;
}

}  // namespace
}  // namespace settings

long reg_open_key(void* root, const char* path, unsigned access, void** key) {
  return settings::table().open(root, path, access, key);
}

long reg_create_key(void* root, const char* path, unsigned options, unsigned access, void** key) {
  return settings::table().create(root, path, options, access, key);
}

long reg_query_value(void* key, const char* name, unsigned* type, unsigned char* data, unsigned* size) {
  return settings::table().query(key, name, type, data, size);
}

long reg_set_value(void* key, const char* name, unsigned type, const unsigned char* data, unsigned size) {
  return settings::table().set(key, name, type, data, size);
}

long reg_delete_value(void* key, const char* name) { return settings::table().remove(key, name); }

long reg_close_key(void* key) { return settings::table().close(key); }

bool reg_lock(void* key) { return settings::table().lock(key); }

void reg_unlock(void* key) { settings::table().unlock(key); }

}  // namespace plat
