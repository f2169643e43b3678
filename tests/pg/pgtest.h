// A PostgreSQL server for tests, and a fresh database on it for each test.
//
// Under ctest one server serves the whole run (the pg_server fixture of
// tests/CMakeLists.txt starts it and names its folder in $VESKOR_PG_DIR).
// A test binary started by hand starts a server of its own the first time
// it needs one and stops it when the process ends. Either way the server
// listens on a Unix socket only. A test that stops its server (to see the
// ledger while the server is away) takes a private_server, so the others
// never notice.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "workflow/pgsql.h"
#include "workflow/record.h"

namespace pgtest {

inline bool run_server_script(const std::string& what, const std::string& dir) {
  std::string cmd = std::string("'") + VESKOR_SOURCE_DIR + "/tests/pg/server' " + what + " '" + dir + "' >/dev/null";
  int rc = std::system(cmd.c_str());
  return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

// A server of its own in a folder of its own: started now, stopped with it.
class private_server {
 public:
  private_server() : dir_("/tmp/veskor-pgtest-" + record_id().substr(0, 12)) { started_ = run_server_script("start", dir_); }
  ~private_server() {
    if (getpid() == owner_) run_server_script("stop", dir_);
  }
  private_server(const private_server&) = delete;
  private_server& operator=(const private_server&) = delete;
  bool started() const { return started_; }
  std::string socket() const { return dir_ + "/socket"; }
  // Stopped (fast, as a failing server drops its clients) and started
  // again with its data.
  bool down() { return run_server_script("down", dir_); }
  bool up() { return run_server_script("up", dir_); }

 private:
  std::string dir_;
  bool started_ = false;
  pid_t owner_ = getpid();
};

// The socket folder of the shared server.
inline std::string shared_socket() {
  const char* dir = std::getenv("VESKOR_PG_DIR");
  if (dir && *dir) return std::string(dir) + "/socket";
  static private_server own;
  return own.started() ? own.socket() : std::string();
}

inline std::string uri_of(const std::string& socket, const std::string& db) {
  return "postgresql:///" + db + "?host=" + socket;
}

// A new empty database with a random name on the server at socket; its URI,
// or "" when the server cannot make one.
inline std::string fresh_database(const std::string& socket) {
  if (socket.empty()) return "";
  std::string name = "t_" + record_id().substr(0, 16);
  pg::connection c;
  std::string error;
  if (!c.open(uri_of(socket, "postgres"), "veskor-test", error)) return "";
  if (!c.exec("CREATE DATABASE " + name).ok()) return "";
  return uri_of(socket, name);
}

// One value of a statement run at uri ("" when it gave none).
inline std::string query(const std::string& uri, const std::string& sql, const std::vector<pg::value>& params = {}) {
  pg::connection c;
  std::string error;
  if (!c.open(uri, "veskor-test", error)) return "connect failed: " + error;
  pg::result r = c.exec(sql, params);
  if (!r.ok()) return "failed: " + r.error();
  return r.text(0, 0);
}

}  // namespace pgtest
