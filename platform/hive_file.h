// The settings hive's files on disk: where each root's files live, a parsed
// copy of each kept while the file is unchanged, the cross-process lock
// beside each, and every change as a read-modify-write of the whole file
// under an flock on "<file>.lock", finished by writing "<file>.new", fsync,
// rename over the file and fsync of the folder (platform/durable). Readers
// therefore always see a whole file, old or new, and never need the lock.
// Shared by the hive's own files only.
//
// A hive or lock file that is not a regular file (a FIFO, a device) is
// never waited on: the hive is then unreadable. A file we cannot parse
// completely is never written again: what could be read from it stays
// readable, and every change is refused, so the user's hand edits survive
// until someone repairs them.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <map>
#include <string>

#include "platform/durable.h"
#include "platform/hive.h"

namespace plat {
namespace settings {

enum { ROOT_USER = 0, ROOT_MACHINE = 1 };
extern const char* const ROOT_NAMES[2];

// Where one hive file of a root lives.
struct location {
  int root = ROOT_USER;
  bool vol = false;  // the file of the keys made volatile
  std::string file, dir;

  std::string lock_file() const { return file + ".lock"; }
};

// False when the root has no place (no home folder for the user's root).
bool locate(int root, bool vol, location& loc);
// Whether a change could be written: the file (if any) and its folder, or
// the nearest folder that exists, which the folder would be made in.
bool location_writable(const location& loc);

// The hive files of the process. Not thread-safe: its owner serialises the
// calls.
class hive_files {
 public:
  // The hive as the file holds it now. A missing file is an empty hive.
  // The reference holds until the next call.
  hive& load(const location& loc);
  // Runs change on a fresh copy of the hive under the lock and writes the
  // result when change reports that something changed. An error code of
  // the hive calls.
  long modify(const location& loc, const std::function<long(hive&, bool& changed)>& change);
  // The cross-process lock of the location's file; nesting counts.
  bool lock(const location& loc);
  void unlock(const std::string& lock_file);

 private:
  struct file_id {
    bool valid = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {}, ctime = {};
    bool operator==(const file_id& o) const;
  };
  static file_id id_of(const struct stat& st);

  struct cached {
    file_id id;  // the file the copy was parsed from
    hive h;
  };
  struct file_lock {
    durable_file f;
    int depth = 0;
  };
  std::map<std::string, cached> cache_;     // by hive file
  std::map<std::string, file_lock> locks_;  // by lock file

  bool read(const location& loc, cached& c);
  void keep(const location& loc, hive&& written);
};

}  // namespace settings
}  // namespace plat
