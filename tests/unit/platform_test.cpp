// The platform's edges: files and the clipboard in cp1251, the beep on a
// machine without sound, and the cost of making fonts.
#include <SDL_clipboard.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/unit/toolkit.h"

namespace fs = std::filesystem;

namespace {

TEST(PlatformFiles, ScreenshotsGoToCyrillicPaths) {
  register_test_class();
  twindow w(40, 30, "shot");
  pump_for(50);
  char tmpl[] = "/tmp/veskor-shot-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;  // ASCII: the same in both spellings
  for (const char* name : {"/снимок.bmp", "/снимок.png"}) {
    EXPECT_TRUE(plat::save_client(w.hwnd, (dir + name).c_str())) << name;
    // On disk the name is UTF-8, as every other program reads it.
    EXPECT_TRUE(fs::exists(plat::path_to_fs((dir + name).c_str()))) << name;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
  fs::remove_all(dir);
}

TEST(PlatformClipboard, MalformedTextIsNoText) {
  register_test_class();
  twindow w(40, 30, "clip");
  char buffer[16] = "keep this";
  copy_text_to_clipboard(w.hwnd, "Прошить");
  copy_text_from_clipboard(w.hwnd, buffer);
  EXPECT_STREQ(buffer, "Прошить");
  // Another program's over-long '/' on the clipboard.
  ASSERT_EQ(SDL_SetClipboardText("a\xE0\x80\xAF" "b"), 0);
  copy_text_from_clipboard(w.hwnd, buffer);
  EXPECT_STREQ(buffer, "Прошить") << "the buffer stays as it was";
}

TEST(PlatformSound, BeepWithoutASoundCardSaysNothing) {
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Whatever sound there is (none, on a test machine), through ALSA, the
    // driver that complains loudest when it finds no card.
    dup2(err[1], 2);
    close(err[0]);
    setenv("SDL_AUDIODRIVER", "alsa", 1);
    plat::beep();
    plat::beep();
    _exit(0);
  }
  close(err[1]);
  std::string said;
  char buf[512];
  for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) said.append(buf, n);
  close(err[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(said, "") << "stderr must stay clean";
}

TEST(PlatformFonts, AFaceIsLookedUpOnce) {
  tfont first("MS Sans Serif", 14);
  unsigned after_first = plat::font_lookups();
  EXPECT_GE(after_first, 1u);
  for (int i = 0; i < 20; i++) {
    tfont again("MS Sans Serif", 14 + i % 3);
    EXPECT_GT(again.strlen("Прошить"), 0);
  }
  EXPECT_EQ(plat::font_lookups(), after_first) << "the same face must not ask fontconfig again";
  tfont bold("MS Sans Serif", 14, 0, 700);
  EXPECT_EQ(plat::font_lookups(), after_first + 1) << "another weight is another file";
}

}  // namespace
