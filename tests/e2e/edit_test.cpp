// The line editor on a real X server: text typed with xdotool reaches the
// field's buffer as the right Windows-1251 bytes.
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

TEST(EndToEnd, CyrillicTypedIntoAFieldArrivesAsWindows1251) {
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
    execl(VESKOR_BIN_DIR "/editprobe", "editprobe", (char*)nullptr);
    _exit(127);
  }
  close(out[1]);
  std::string all;
  ASSERT_NE(read_until(out[0], "ready", 10000, all), "") << all;
  std::string id = x.output("xdotool search --sync --onlyvisible --name 'IP' | head -1");
  ASSERT_FALSE(id.empty());
  id.erase(id.find_last_not_of("\n") + 1);
  // Cyrillic of both cases, ё and Ё, the euro sign (0x88 in cp1251) and a
  // character that has no cp1251 form at all (dropped); then Tab ends the
  // edit and the field is entered again with everything selected, which
  // the next text replaces.
  // The command line is UTF-8 whatever the program's own texts are.
  x.run("xdotool windowfocus --sync " + id + u8" sleep 0.3 type --delay 30 'Привет ёЁ€😀'");
  x.run("xdotool key --delay 30 Tab");
  std::string first = read_until(out[0], "edit 9", 10000, all);
  EXPECT_EQ(first, "edit 9 CF F0 E8 E2 E5 F2 20 B8 A8 88 20 20 20 20 20 20") << all;
  // type takes every argument after it as text: Return goes on its own.
  x.run(u8"xdotool type --delay 30 'Щука-Ъ'");
  x.run("xdotool key --delay 30 Return");
  std::string second = read_until(out[0], "edit 13", 10000, all);
  EXPECT_EQ(second, "edit 13 D9 F3 EA E0 2D DA 20 20 20 20 20 20 20 20 20 20") << all;
  EXPECT_NE(read_until(out[0], "bye", 5000, all), "") << all;
  int status = 0;
  waitpid(probe, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
