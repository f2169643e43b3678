// The real binary path: SDL on an X server, clicked by xdotool.
#include <string>

#include "tests/e2e/xsession.h"

namespace {

TEST(EndToEnd, ClickReachesTheToolkitWithClientCoordinates) {
  if (!have_program("Xvfb") || !have_program("xdotool")) GTEST_SKIP() << "Xvfb or xdotool missing (scripts/setup installs them)";
  xsession x;
  ASSERT_TRUE(x.start()) << "could not start Xvfb";
  int out = -1;
  pid_t probe = start_probe(x, "clickprobe", &out);
  ASSERT_GT(probe, 0);
  std::string all;
  ASSERT_NE(read_until(out, "ready", 10000, all), "") << all;
  std::string id = x.output("xdotool search --sync --onlyvisible --name clickprobe | head -1");
  ASSERT_FALSE(id.empty());
  id.erase(id.find_last_not_of("\n") + 1);
  x.run("xdotool mousemove --window " + id + " 37 51 sleep 0.2 click 1");
  std::string down = read_until(out, "403", 5000, all);
  std::string up = read_until(out, "404", 5000, all);
  EXPECT_EQ(down, "403 37 51") << all;
  EXPECT_EQ(up, "404 37 51") << all;
  x.run("xdotool key --window " + id + " Escape");
  EXPECT_NE(read_until(out, "bye", 5000, all), "") << all;
  int status = 0;
  waitpid(probe, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Xlib's default answer to a refused request is to end the program; a
// window that SDL still names after we destroyed it must not do that.
TEST(EndToEnd, ARefusedRequestDoesNotEndTheProgram) {
  if (!have_program("Xvfb")) GTEST_SKIP() << "Xvfb missing (scripts/setup installs it)";
  xsession x;
  ASSERT_TRUE(x.start()) << "could not start Xvfb";
  int out = -1;
  pid_t probe = start_probe(x, "clickprobe", &out, "--x-error");
  ASSERT_GT(probe, 0);
  std::string all;
  EXPECT_NE(read_until(out, "survived", 10000, all), "") << all;
  int status = 0;
  waitpid(probe, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << all;
}

}  // namespace
