// Child processes: helper programs (the desktop's file chooser) run as
// separate programs whose answer comes back on their standard output. The
// waiting here knows no windows; platform/process.cpp keeps ours alive
// through the round it passes in.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/base.h"

extern char** environ;

namespace plat {

// How often the caller's round runs while a helper runs.
static const int CHILD_ROUND_MS = 20;

std::string find_program(const char* name) {
  if (!name || !*name) return "";
  if (strchr(name, '/')) return access(name, X_OK) == 0 ? name : "";
  const char* path = getenv("PATH");
  if (!path) return "";
  std::string dirs = path;
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    // An empty element of PATH means the current directory.
    std::string dir = end > start ? dirs.substr(start, end - start) : ".";
    std::string full = dir + "/" + name;
    struct stat st;
    if (stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(full.c_str(), X_OK) == 0)
      return full;
    start = end + 1;
  }
  return "";
}

bool run_child(const char* const argv[], std::string& out, int* exit_code, size_t limit,
               void (*round)(void* ctx), void* ctx) {
  out.clear();
  if (exit_code) *exit_code = -1;
  if (!argv || !argv[0]) return false;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  // The helpers chatter on stderr (toolkit warnings); none of it is ours to show.
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);

  // The child starts with default signal handling whatever the program set.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &fa, &attr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return false;
  }

  // Read to the end even past the limit, so a chatty child never blocks on
  // a full pipe; what lies beyond the limit is dropped. The round runs
  // between reads as well as in quiet spells, so a child that writes without
  // pause cannot starve it.
  char buf[4096];
  uint32_t last_round = tick();
  for (;;) {
    struct pollfd p = {fds[0], POLLIN, 0};
    int r = poll(&p, 1, CHILD_ROUND_MS);
    if (r < 0 && errno != EINTR) break;
    if (r > 0) {
      ssize_t n = read(fds[0], buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) break;
      if (out.size() < limit) out.append(buf, std::min((size_t)n, limit - out.size()));
    }
    if (r == 0 || tick() - last_round >= CHILD_ROUND_MS) {
      if (round) round(ctx);
      last_round = tick();
    }
  }
  close(fds[0]);

  int status = 0;
  bool ended = false;
  for (;;) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) {
      ended = true;
      break;
    }
    if (w < 0 && errno != EINTR) break;
    if (round) round(ctx);
    if (w == 0) poll(nullptr, 0, CHILD_ROUND_MS);
  }
  // What arrived while it was closing belongs to the child's time too.
  if (round) round(ctx);
  if (!ended || !WIFEXITED(status)) return false;
  if (exit_code) *exit_code = WEXITSTATUS(status);
  return true;
}

}  // namespace plat
