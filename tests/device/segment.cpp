#include "tests/device/segment.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace devtest {

namespace {

// The device tests open windows (the progress window, message boxes) but have
// no screen or sound card of their own: SDL's dummy drivers, unless the
// caller chose others.
const struct dummy_drivers {
  dummy_drivers() {
    setenv("SDL_VIDEODRIVER", "dummy", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 0);
  }
} DUMMY_DRIVERS;

const char NETNS_DIR[] = "/run/netns";
const char NAME_PREFIX[] = "vsk";

// Segments alive in this process, for the fatal-signal handler and atexit.
// A plain array: the handler must not meet a container in mid-change.
constexpr int MAX_LIVE = 16;
segment* g_live[MAX_LIVE];
volatile sig_atomic_t g_live_count = 0;
int g_serial = 0;

const int FATAL_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS};
struct sigaction g_old_actions[sizeof FATAL_SIGNALS / sizeof FATAL_SIGNALS[0]];
bool g_handlers_installed = false;

void cleanup_all() {
  for (int i = 0; i < MAX_LIVE; i++)
    if (g_live[i]) g_live[i]->emergency_cleanup();
}

void on_fatal_signal(int sig) {
  cleanup_all();
  for (size_t i = 0; i < sizeof FATAL_SIGNALS / sizeof FATAL_SIGNALS[0]; i++)
    if (FATAL_SIGNALS[i] == sig) sigaction(sig, &g_old_actions[i], nullptr);
  raise(sig);
}

void at_exit() {
  for (int i = 0; i < MAX_LIVE; i++)
    if (g_live[i]) g_live[i]->teardown();
}

void install_handlers() {
  if (g_handlers_installed) return;
  // Handlers and the atexit entry are inherited by forked children; each
  // segment cleans up only in the process that built it.
  g_handlers_installed = true;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_fatal_signal;
  sigemptyset(&sa.sa_mask);
  for (size_t i = 0; i < sizeof FATAL_SIGNALS / sizeof FATAL_SIGNALS[0]; i++)
    sigaction(FATAL_SIGNALS[i], &sa, &g_old_actions[i]);
  atexit(at_exit);
}

void register_live(segment* s) {
  for (int i = 0; i < MAX_LIVE; i++)
    if (!g_live[i]) {
      g_live[i] = s;
      return;
    }
}

void unregister_live(segment* s) {
  for (int i = 0; i < MAX_LIVE; i++)
    if (g_live[i] == s) g_live[i] = nullptr;
}

// What `ip netns delete` does: detach the bind mount that keeps the
// namespace alive, then remove its name. Both are plain system calls, so
// the signal handler may use this too.
void delete_netns_path(const char* path) {
  umount2(path, MNT_DETACH);
  unlink(path);
}

// Kills every process whose network namespace is the one at path.
void kill_members(const char* path) {
  struct stat ns;
  if (stat(path, &ns) != 0) return;
  DIR* d = opendir("/proc");
  if (!d) return;
  while (dirent* e = readdir(d)) {
    char* end;
    long pid = strtol(e->d_name, &end, 10);
    if (*end || pid <= 0 || pid == getpid()) continue;
    char link[64];
    snprintf(link, sizeof link, "/proc/%ld/ns/net", pid);
    struct stat st;
    if (stat(link, &st) == 0 && st.st_ino == ns.st_ino && st.st_dev == ns.st_dev)
      kill((pid_t)pid, SIGKILL);
  }
  closedir(d);
}

bool pid_alive(pid_t pid) {
  return kill(pid, 0) == 0 || errno == EPERM;
}

std::string loadersim_path() {
  const char* env = getenv("VESKOR_LOADERSIM");
  if (env && *env) return env;
#ifdef VESKOR_BIN_DIR
  return std::string(VESKOR_BIN_DIR) + "/loadersim";
#else
  return "loadersim";
#endif
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void remove_tree(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (d) {
    while (dirent* e = readdir(d)) {
      if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
      std::string p = path + "/" + e->d_name;
      struct stat st;
      if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        remove_tree(p);
      else
        unlink(p.c_str());
    }
    closedir(d);
  }
  rmdir(path.c_str());
}

void sleep_ms(int ms) {
  timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

std::vector<char*> c_argv(const std::vector<std::string>& args) {
  std::vector<char*> v;
  for (const auto& a : args) v.push_back(const_cast<char*>(a.c_str()));
  v.push_back(nullptr);
  return v;
}

// In a freshly forked child: die with the parent, point stdout and stderr
// at a file, and join the network namespace at ns_path.
void prepare_child(pid_t parent, const std::string& ns_path, const std::string& output_path) {
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
  if (!output_path.empty()) {
    int fd = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
  }
  int nfd = open(ns_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (nfd < 0 || setns(nfd, CLONE_NEWNET) != 0) {
    fprintf(stderr, "cannot enter %s: %s\n", ns_path.c_str(), strerror(errno));
    _exit(127);
  }
  close(nfd);
}

}  // namespace

segment::segment(int devices, const knobs& common) : knobs_(devices, common) {}

segment::segment(const std::vector<knobs>& per_device) : knobs_(per_device) {}

segment::~segment() { teardown(); }

bool segment::supported(std::string* why) {
  if (geteuid() != 0) {
    *why = "network namespaces need root; run the device tests as root";
    return false;
  }
  if (access("/usr/sbin/ip", X_OK) != 0 && access("/sbin/ip", X_OK) != 0 &&
      access("/usr/bin/ip", X_OK) != 0) {
    *why = "the ip command (iproute2) is missing";
    return false;
  }
  std::string sim = loadersim_path();
  if (access(sim.c_str(), X_OK) != 0) {
    *why = "no loader simulator at " + sim;
    return false;
  }
  return true;
}

std::string segment::device_ip(int k) const {
  return (on_second_bridge(k) ? "198.51.100." : "192.0.2.") + std::to_string(10 + k);
}

bool segment::fail(const std::string& what) {
  error_ = what;
  return false;
}

bool segment::run_ip(const std::vector<std::string>& args) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return fail("pipe: " + std::string(strerror(errno)));
  std::vector<std::string> full = {"ip"};
  full.insert(full.end(), args.begin(), args.end());
  pid_t pid = fork();
  if (pid < 0) {
    close(pipefd[0]);
    close(pipefd[1]);
    return fail("fork: " + std::string(strerror(errno)));
  }
  if (pid == 0) {
    dup2(pipefd[1], 1);
    dup2(pipefd[1], 2);
    std::vector<char*> v = c_argv(full);
    execvp("ip", v.data());
    _exit(127);
  }
  close(pipefd[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(pipefd[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) out.append(buf, (size_t)n);
  close(pipefd[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::string cmd;
  for (const auto& a : full) cmd += (cmd.empty() ? "" : " ") + a;
  return fail(cmd + ": " + out);
}

// One member of the segment: a veth pair with `port` on bridge and ifname
// inside ns, addressed with cidr.
bool segment::add_member(const std::string& ns, const std::string& port, const char* cidr,
                         bool default_route, const char* bridge, const char* ifname) {
  const std::string br = bridge_netns();
  // Both ends are created directly inside their namespaces: no interface
  // ever appears in the namespace the test started in.
  if (!run_ip({"link", "add", "name", port, "netns", br, "type", "veth", "peer", "name", ifname,
               "netns", ns}))
    return false;
  if (!run_ip({"-n", br, "link", "set", port, "master", bridge, "up"})) return false;
  if (!run_ip({"-n", ns, "addr", "add", cidr, "dev", ifname})) return false;
  if (!run_ip({"-n", ns, "link", "set", ifname, "up"})) return false;
  if (!run_ip({"-n", ns, "link", "set", "lo", "up"})) return false;
  // Sending to 255.255.255.255 needs a route; a bench PC has its default
  // route on the segment.
  if (default_route && !run_ip({"-n", ns, "route", "add", "default", "dev", ifname}))
    return false;
  return true;
}

bool segment::start() {
  if (started_) return fail("segment already started");
  std::string why;
  if (!supported(&why)) return fail(why);
  sweep();
  install_handlers();

  name_ = std::string(NAME_PREFIX) + std::to_string(getpid()) + "-" + std::to_string(g_serial++);
  const int n = devices();
  // Reserved up front: the signal handler reads these vectors.
  ns_paths_.reserve(n + 2);
  pids_.assign(n, -1);
  state_dirs_.assign(n, std::string());
  owner_ = getpid();
  register_live(this);
  started_ = true;

  const char* tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name_ + "-XXXXXX";
  std::vector<char> tb(templ.begin(), templ.end());
  tb.push_back('\0');
  if (!mkdtemp(tb.data())) {
    std::string e = "mkdtemp " + templ + ": " + strerror(errno);
    teardown();
    return fail(e);
  }
  root_dir_ = tb.data();

  bool ok = true;
  std::vector<std::string> names = {bridge_netns(), host_netns()};
  for (int k = 0; k < n; k++) names.push_back(device_netns(k));
  for (const auto& ns : names) {
    if (!(ok = run_ip({"netns", "add", ns}))) break;
    ns_paths_.push_back(std::string(NETNS_DIR) + "/" + ns);
  }
  const bool split = second_from_ >= 0;
  ok = ok && run_ip({"-n", bridge_netns(), "link", "add", "br0", "type", "bridge"}) &&
       run_ip({"-n", bridge_netns(), "link", "set", "br0", "up"}) &&
       add_member(host_netns(), "vh", "192.0.2.1/24", !split);
  // The second port's address names its broadcast address, as DHCP gives
  // it; the first one's does not, as a hand-made one: both kinds are met.
  if (split)
    ok = ok && run_ip({"-n", bridge_netns(), "link", "add", "br1", "type", "bridge"}) &&
         run_ip({"-n", bridge_netns(), "link", "set", "br1", "up"}) &&
         add_member(host_netns(), "vh1", "198.51.100.1/24", false, "br1", "eth1") &&
         run_ip({"-n", host_netns(), "addr", "change", "198.51.100.1/24", "brd", "+", "dev", "eth1"});
  for (int k = 0; ok && k < n; k++) {
    std::string cidr = device_ip(k) + "/24";
    ok = add_member(device_netns(k), "vd" + std::to_string(k), cidr.c_str(), false,
                    on_second_bridge(k) ? "br1" : "br0");
  }
  if (ok) {
    host_fd_ = open((std::string(NETNS_DIR) + "/" + host_netns()).c_str(), O_RDONLY | O_CLOEXEC);
    if (host_fd_ < 0) ok = fail("cannot open the host namespace: " + std::string(strerror(errno)));
  }
  for (int k = 0; ok && k < n; k++) {
    state_dirs_[k] = root_dir_ + "/dev" + std::to_string(k);
    if (mkdir(state_dirs_[k].c_str(), 0755) != 0)
      ok = fail("mkdir " + state_dirs_[k] + ": " + strerror(errno));
    else
      ok = start_device(k, knobs_[k]);
  }
  if (!ok) {
    std::string e = error_;
    teardown();
    error_ = e;
  }
  return ok;
}

bool segment::start_device(int k, const knobs& args) {
  if (k < 0 || k >= devices() || state_dirs_[k].empty()) return fail("no such device");
  if (pids_[k] > 0) stop_device(k);
  knobs_[k] = args;
  const std::string& dir = state_dirs_[k];
  std::string ready = dir + "/ready";
  unlink(ready.c_str());

  char mac[24];
  snprintf(mac, sizeof mac, "02:00:C0:00:02:%02X", (10 + k) & 0xFF);
  // Defaults that tell the devices apart; the test's knobs come later and win.
  std::vector<std::string> argv = {loadersim_path(), "--state", dir, "--mac", mac,
                                   "--name", "SIM" + std::to_string(k)};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string ns_path = std::string(NETNS_DIR) + "/" + device_netns(k);
  std::string out = dir + "/output.txt";

  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) return fail("fork: " + std::string(strerror(errno)));
  if (pid == 0) {
    prepare_child(parent, ns_path, out);
    std::vector<char*> v = c_argv(argv);
    execv(v[0], v.data());
    fprintf(stderr, "cannot run %s: %s\n", v[0], strerror(errno));
    _exit(127);
  }
  pids_[k] = pid;
  for (int waited = 0; waited < 5000; waited += 10) {
    if (access(ready.c_str(), F_OK) == 0) return true;
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pids_[k] = -1;
      return fail("simulator " + std::to_string(k) + " ended at start: " + read_file(out));
    }
    sleep_ms(10);
  }
  return fail("simulator " + std::to_string(k) + " did not start listening: " + read_file(out));
}

bool segment::stop_device(int k) {
  if (k < 0 || k >= devices() || pids_[k] <= 0) return false;
  pid_t pid = pids_[k];
  kill(pid, SIGTERM);
  int status = wait_exit(pid, 3000);
  if (status < 0) {
    kill(pid, SIGKILL);
    status = wait_exit(pid, 3000);
  }
  pids_[k] = -1;
  return status == 0;
}

bool segment::device_running(int k) {
  if (k < 0 || k >= devices() || pids_[k] <= 0) return false;
  int status;
  pid_t r = waitpid(pids_[k], &status, WNOHANG);
  if (r == pids_[k]) {
    pids_[k] = -1;
    return false;
  }
  return true;
}

int segment::wait_exit(pid_t pid, int timeout_ms) {
  for (int waited = 0;; waited += 5) {
    int status;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (r < 0 && errno != EINTR) return -1;
    if (waited >= timeout_ms) return -1;
    sleep_ms(5);
  }
}

bool segment::enter_host() {
  if (in_host_) return true;
  if (host_fd_ < 0) return fail("segment not started");
  if (origin_fd_ < 0) {
    origin_fd_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (origin_fd_ < 0) return fail("cannot open the own namespace: " + std::string(strerror(errno)));
  }
  if (setns(host_fd_, CLONE_NEWNET) != 0)
    return fail("setns into the host namespace: " + std::string(strerror(errno)));
  in_host_ = true;
  return true;
}

bool segment::leave_host() {
  if (!in_host_) return true;
  if (setns(origin_fd_, CLONE_NEWNET) != 0)
    return fail("setns back: " + std::string(strerror(errno)));
  in_host_ = false;
  return true;
}

pid_t segment::spawn_in_host(const std::vector<std::string>& argv, const std::string& output_path) {
  if (host_fd_ < 0 || argv.empty()) return -1;
  std::string ns_path = std::string(NETNS_DIR) + "/" + host_netns();
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    prepare_child(parent, ns_path, output_path);
    std::vector<char*> v = c_argv(argv);
    execvp(v[0], v.data());
    fprintf(stderr, "cannot run %s: %s\n", v[0], strerror(errno));
    _exit(127);
  }
  return pid;
}

std::vector<uint8_t> segment::memory(int k) const {
  std::string s = read_file(state_dirs_[k] + "/memory.bin");
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> segment::sp_memory(int k) const {
  std::string s = read_file(state_dirs_[k] + "/sp_memory.bin");
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::string segment::device_output(int k) const {
  return read_file(state_dirs_[k] + "/output.txt");
}

std::vector<request_entry> segment::requests(int k) const {
  std::vector<request_entry> out;
  std::istringstream in(read_file(state_dirs_[k] + "/requests.log"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    request_entry e;
    std::string tok;
    ls >> e.ms >> e.from;
    while (ls >> tok) {
      if (tok.rfind("len=", 0) == 0) {
        e.len = atoi(tok.c_str() + 4);
      } else if (tok.rfind("flags=", 0) == 0) {
        e.flags = tok[6] == '-' ? -1 : (int)strtol(tok.c_str() + 6, nullptr, 16);
      } else if (tok.rfind("page=", 0) == 0) {
        e.page = tok[5] == '-' ? -1 : strtol(tok.c_str() + 5, nullptr, 10);
      } else if (tok.rfind("mac=", 0) == 0) {
        e.mac = tok.substr(4);
      } else {
        e.outcome = tok;
      }
    }
    out.push_back(e);
  }
  return out;
}

void segment::emergency_cleanup() {
  if (getpid() != owner_) return;
  // Only system calls here. Programs spawned in the host namespace die with
  // this process through their parent-death signal.
  for (pid_t p : pids_)
    if (p > 0) kill(p, SIGKILL);
  for (const auto& p : ns_paths_) delete_netns_path(p.c_str());
}

void segment::teardown() {
  if (!started_) return;
  if (getpid() != owner_) {
    // A forked copy of the test: the segment belongs to the parent.
    started_ = false;
    unregister_live(this);
    return;
  }
  leave_host();
  for (int k = 0; k < devices(); k++)
    if (pids_[k] > 0) stop_device(k);
  // Namespaces go in reverse order of creation; anything still running in
  // one (a program a test spawned there and did not wait for) goes with it.
  for (auto it = ns_paths_.rbegin(); it != ns_paths_.rend(); ++it) {
    kill_members(it->c_str());
    delete_netns_path(it->c_str());
  }
  ns_paths_.clear();
  if (host_fd_ >= 0) close(host_fd_);
  if (origin_fd_ >= 0) close(origin_fd_);
  host_fd_ = origin_fd_ = -1;
  if (!root_dir_.empty()) {
    bool keep = getenv("VESKOR_KEEP_SEGMENT") || ::testing::Test::HasFailure();
    if (keep)
      fprintf(stderr, "segment %s: simulator state kept in %s\n", name_.c_str(), root_dir_.c_str());
    else
      remove_tree(root_dir_);
  }
  unregister_live(this);
  started_ = false;
}

// True for names vsk<pid>-<serial>-... left by a process that is gone.
static bool is_stale(const char* n) {
  if (strncmp(n, NAME_PREFIX, sizeof NAME_PREFIX - 1) != 0) return false;
  char* end;
  long pid = strtol(n + sizeof NAME_PREFIX - 1, &end, 10);
  if (end == n + sizeof NAME_PREFIX - 1 || *end != '-' || pid <= 0) return false;
  if (pid != getpid()) return !pid_alive((pid_t)pid);
  // Ours only while a live segment carries the name; otherwise a dead
  // process that had this pid before us left it.
  for (int i = 0; i < MAX_LIVE; i++) {
    if (!g_live[i] || g_live[i]->name().empty()) continue;
    const std::string& live = g_live[i]->name();
    if (strncmp(n, live.c_str(), live.size()) == 0 && n[live.size()] == '-') return false;
  }
  return true;
}

int segment::sweep() {
  int removed = 0;
  std::vector<std::string> stale;
  if (DIR* d = opendir(NETNS_DIR)) {
    while (dirent* e = readdir(d))
      if (is_stale(e->d_name)) stale.push_back(std::string(NETNS_DIR) + "/" + e->d_name);
    closedir(d);
  }
  for (const auto& p : stale) {
    kill_members(p.c_str());
    delete_netns_path(p.c_str());
    removed++;
  }
  // State directories of segments that died with their process. The shell
  // script's ("vsk<pid>-sh-...") are kept on purpose and left alone.
  const char* tmp = getenv("TMPDIR");
  std::string tmpdir = tmp && *tmp ? tmp : "/tmp";
  std::vector<std::string> dirs;
  if (DIR* d = opendir(tmpdir.c_str())) {
    while (dirent* e = readdir(d))
      if (is_stale(e->d_name) && !strstr(e->d_name, "-sh-")) dirs.push_back(tmpdir + "/" + e->d_name);
    closedir(d);
  }
  for (const auto& p : dirs) remove_tree(p);
  return removed;
}

}  // namespace devtest
