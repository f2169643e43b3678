// The real binary path: SDL on an X server, clicked by xdotool.
#include <fcntl.h>
#include <poll.h>

#include <string>

#include "tests/e2e/xsession.h"

namespace {

// Reads lines from fd until one starts with prefix or ms pass.
std::string read_until(int fd, const std::string& prefix, int ms, std::string& all) {
  std::string line;
  for (int waited = 0; waited < ms;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) {
      waited += 50;
      continue;
    }
    char c;
    if (read(fd, &c, 1) != 1) break;
    all += c;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.compare(0, prefix.size(), prefix) == 0) return line;
    line.clear();
  }
  return "";
}

TEST(EndToEnd, ClickReachesTheToolkitWithClientCoordinates) {
  if (!have_program("Xvfb") || !have_program("xdotool")) GTEST_SKIP() << "Xvfb or xdotool missing (scripts/setup installs them)";
  xsession x;
  ASSERT_TRUE(x.start()) << "could not start Xvfb";
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t probe = fork();
  if (probe == 0) {
    dup2(out[1], 1);
    setenv("DISPLAY", x.display.c_str(), 1);
    setenv("SDL_VIDEODRIVER", "x11", 1);
    execl(VESKOR_BIN_DIR "/clickprobe", "clickprobe", (char*)nullptr);
    _exit(127);
  }
  close(out[1]);
  std::string all;
  ASSERT_NE(read_until(out[0], "ready", 10000, all), "") << all;
  std::string id = x.output("xdotool search --sync --onlyvisible --name clickprobe | head -1");
  ASSERT_FALSE(id.empty());
  id.erase(id.find_last_not_of("\n") + 1);
  x.run("xdotool mousemove --window " + id + " 37 51 sleep 0.2 click 1");
  std::string down = read_until(out[0], "403", 5000, all);
  std::string up = read_until(out[0], "404", 5000, all);
  EXPECT_EQ(down, "403 37 51") << all;
  EXPECT_EQ(up, "404 37 51") << all;
  x.run("xdotool key --window " + id + " Escape");
  EXPECT_NE(read_until(out[0], "bye", 5000, all), "") << all;
  int status = 0;
  waitpid(probe, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
