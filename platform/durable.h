// Files that must outlive a crash or a power loss: the settings hive and the
// MAC ledger both stand on these. Paths here are file-system paths (UTF-8)
// exactly as the system takes them; no text of this header is cp1251, and
// no message is made here: a failure leaves a code (an errno value, or one
// of FILE_NOT_REGULAR / FILE_TOO_LARGE) for the caller to word.
#pragma once

#include <string>

namespace plat {

// ---- where things live ---------------------------------------------------------
// $HOME when it is absolute, else the account's home from the password
// database; "" when there is none.
std::string home_folder();
// The XDG base folders. A value that is not absolute counts as unset, as
// the convention says; the fall-backs are ~/.config and ~/.local/share ("" when
// there is no home either). The runtime folder has no fall-back: "" when
// XDG_RUNTIME_DIR is unset, and the caller picks a private folder itself.
std::string config_home();
std::string data_home();
std::string runtime_dir();
// The folder a path names its file in ("." for a bare name, "/" at the top).
std::string folder_of(const std::string& path);

// ---- the one place every sync goes through -----------------------------------------
// A test can watch (and fail) every sync: the hook is called with the path
// synced and whether it is a folder, before the sync itself; when it
// returns false the sync is not done and fails with EIO. Null restores the
// plain behaviour. Returns the hook that was set before.
using sync_hook = bool (*)(const std::string& path, bool folder);
sync_hook set_sync_hook(sync_hook hook);
// Syncs done (or attempted through the hook) since the program started.
unsigned long sync_count();

// Codes beside errno values.
enum : int { FILE_NOT_REGULAR = -1, FILE_TOO_LARGE = -2 };

// How durable_file::open opens; any combination.
enum : unsigned {
  FILE_WRITE = 1,           // read and write (else read only)
  FILE_CREATE = 2,          // make a missing file (with FILE_WRITE)
  FILE_APPEND = 4,          // every write goes to the end
  FILE_NO_FOLLOW = 8,       // a symbolic link is refused
  FILE_LOCK_SHARED = 16,    // flock, waiting for it
  FILE_LOCK_EXCLUSIVE = 32,
};

// One open regular file, closed (and its lock let go) when it goes.
class durable_file {
 public:
  durable_file() = default;
  ~durable_file() { close(); }
  durable_file(durable_file&& o) noexcept;
  durable_file& operator=(durable_file&& o) noexcept;
  durable_file(const durable_file&) = delete;
  durable_file& operator=(const durable_file&) = delete;

  // Opens path. open() itself never waits: a FIFO without a writer or a
  // device is opened without blocking and then refused (FILE_NOT_REGULAR),
  // as is anything but a regular file; a file larger than max_size bytes
  // (when max_size >= 0) gives FILE_TOO_LARGE. The lock asked for is then
  // waited for. False with error() on any failure, nothing left open.
  bool open(const std::string& path, unsigned how, unsigned mode = 0600, long long max_size = -1);
  bool is_open() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  // The code of the last failure.
  int error() const { return err_; }
  int fd() const { return fd_; }

  long long size();  // -1 on failure
  // The whole file from its start; false (with error()) when it cannot be
  // read or grows past max_size bytes while being read.
  bool read_all(std::string& out, long long max_size = -1);
  // Writes text at the end of the file and syncs it. When the write or the
  // sync fails the file is cut back to the size it had before, so a full
  // disk never leaves half a record behind.
  bool append(const std::string& text);
  bool sync();
  // Hands the descriptor over to the caller (as for fdopen); closed here no
  // more.
  int release();
  void close();

 private:
  int fd_ = -1;
  int err_ = 0;
  std::string path_;
};

// Syncs a folder, so that names made, renamed or removed in it last. A
// file system that cannot sync folders at all (EINVAL) counts as done.
bool sync_folder(const std::string& dir, int* error = nullptr);
// Makes the folder and its missing parents with mode, each new one synced
// into its parent. True when the folder is there.
bool make_folders(const std::string& dir, unsigned mode, int* error = nullptr);
// Whether a file could be made in dir (or in what make_folders would make of
// it): the nearest folder of it that is there must take new names. Nothing
// is made. A read-only file system says no even to root.
bool folder_writable(const std::string& dir, int* error = nullptr);
// Replaces the file at path by content so that a crash at any instant
// leaves the old file or the new one: "<path>.new" is written with mode,
// synced, renamed over path, and the folder is synced. The callers
// serialise their writers (one fixed temporary name): a leftover temporary
// of a writer that died is removed first, never written through.
bool replace_file(const std::string& path, const std::string& content, unsigned mode, int* error = nullptr);

}  // namespace plat
