// The window tool as a user starts it: its options, and a terminal without
// a display, where it must say so and leave instead of running unseen (and
// going out on the network to find devices nobody can choose).
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Removes a folder of the test's and what is in it.
inline void remove_tree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}


struct run_result {
  bool exited = false;  // false: it was still running at the deadline
  int code = -1;
  std::string out, err;
};

// Runs build/bin/veskor with args in an environment without any display
// (and in a network namespace of its own where the system allows one, so a
// tool that did go looking for devices would find no segment to look on).
run_result run_veskor(const std::vector<std::string>& args) {
  run_result r;
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return r;
  char home[] = "/tmp/veskor-startup.XXXXXX";
  if (!mkdtemp(home)) return r;
  pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNET) != 0) (void)unshare(CLONE_NEWUSER | CLONE_NEWNET);
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("SDL_VIDEODRIVER");
    setenv("HOME", home, 1);
    setenv("XDG_CONFIG_HOME", home, 1);
    setenv("XDG_DATA_HOME", home, 1);
    setenv("LANG", "C.UTF-8", 1);
    std::vector<char*> argv;
    std::string prog = VESKOR_BIN_DIR "/veskor";
    argv.push_back(&prog[0]);
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(prog.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  // A hang guard, not a timing: a tool that runs on without a display never
  // ends by itself.
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&r.out, &r.err};
  int open_pipes = 2;
  for (int waited = 0; open_pipes > 0 && waited < 300;) {
    int n = poll(fds, 2, 100);
    if (n == 0) waited++;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      ssize_t k = read(fds[i].fd, buf, sizeof buf);
      if (k > 0) {
        into[i]->append(buf, (size_t)k);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        open_pipes--;
      }
    }
  }
  int status = 0;
  if (open_pipes > 0) {
    kill(pid, SIGKILL);
    for (auto& f : fds)
      if (f.fd >= 0) close(f.fd);
    waitpid(pid, &status, 0);
  } else {
    waitpid(pid, &status, 0);
    r.exited = WIFEXITED(status);
    r.code = r.exited ? WEXITSTATUS(status) : -1;
  }
  remove_tree(std::string(home));
  return r;
}

TEST(Startup, WithoutADisplayItSaysSoAndLeaves) {
  run_result r = run_veskor({});
  ASSERT_TRUE(r.exited) << "veskor ran on without a display; stderr: " << r.err;
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, u8"veskor: нет дисплея (переменная DISPLAY не задана или X-сервер недоступен)\n");
}

TEST(Startup, VersionHelpAndUnknownOptions) {
  run_result v = run_veskor({"--version"});
  ASSERT_TRUE(v.exited);
  EXPECT_EQ(v.code, 0);
  EXPECT_EQ(v.out, "veskor 1.0.0\n");

  run_result h = run_veskor({"--help"});
  ASSERT_TRUE(h.exited);
  EXPECT_EQ(h.code, 0);
  for (const char* part : {"--help", "--version", u8"Использование", "HKEY_CURRENT_USER.reg"})
    EXPECT_NE(h.out.find(part), std::string::npos) << part << " missing from:\n" << h.out;

  for (std::vector<std::string> bad : {std::vector<std::string>{"--verbose"}, {"-h"}, {"--version", "x"}}) {
    run_result b = run_veskor(bad);
    ASSERT_TRUE(b.exited) << bad[0];
    EXPECT_EQ(b.code, 2) << bad[0];
    EXPECT_EQ(b.out, "") << bad[0];
    EXPECT_NE(b.err.find("veskor --help"), std::string::npos) << b.err;
  }
}

}  // namespace
