// The line editor on a real X server: text typed with xdotool reaches the
// field's buffer as the right Windows-1251 bytes.
#include <string>

#include "tests/e2e/xsession.h"

namespace {

TEST(EndToEnd, CyrillicTypedIntoAFieldArrivesAsWindows1251) {
  if (!have_program("Xvfb") || !have_program("xdotool")) GTEST_SKIP() << "Xvfb or xdotool missing (scripts/setup installs them)";
  xsession x;
  ASSERT_TRUE(x.start()) << "could not start Xvfb";
  // A Russian keyboard, and a key for the one character that has no cp1251
  // form, before the probe reads the keymap.
  // (The texts stand apart from the assertions, whose own text is cp1251.)
  const std::string first_text = u8"Привет ёЁ€😀", second_text = u8"Щука-Ъ";
  ASSERT_EQ(x.keys(first_text + second_text), 0);
  int out = -1;
  pid_t probe = start_probe(x, "editprobe", &out);
  ASSERT_GT(probe, 0);
  std::string all;
  ASSERT_NE(read_until(out, "ready", 10000, all), "") << all;
  std::string id = x.output("xdotool search --sync --onlyvisible --name 'IP' | head -1");
  ASSERT_FALSE(id.empty());
  id.erase(id.find_last_not_of("\n") + 1);
  // Cyrillic of both cases, ё and Ё, the euro sign (0x88 in cp1251) and a
  // character that has no cp1251 form at all (dropped); then Tab ends the
  // edit and the field is entered again with everything selected, which
  // the next text replaces.
  // The command line is UTF-8 whatever the program's own texts are.
  x.run("xdotool windowfocus --sync " + id + " sleep 0.3");
  ASSERT_EQ(x.type(first_text), 0);
  x.run("xdotool key --delay 30 Tab");
  std::string first = read_until(out, "edit 9", 10000, all);
  EXPECT_EQ(first, "edit 9 CF F0 E8 E2 E5 F2 20 B8 A8 88 20 20 20 20 20 20") << all;
  // type takes every argument after it as text: Return goes on its own.
  ASSERT_EQ(x.type(second_text), 0);
  x.run("xdotool key --delay 30 Return");
  std::string second = read_until(out, "edit 13", 10000, all);
  EXPECT_EQ(second, "edit 13 D9 F3 EA E0 2D DA 20 20 20 20 20 20 20 20 20 20") << all;
  EXPECT_NE(read_until(out, "bye", 5000, all), "") << all;
  int status = 0;
  waitpid(probe, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
