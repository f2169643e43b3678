// Locks, the polling timer and the busy pointer.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bcp/bcp.h"
#include "class/class.h"
#include "platform/platform.h"

namespace {

TEST(Timer, CountsDownInTenthsOfASecond) {
  uint32_t now = 5000000;
  plat::set_test_tick(&now);
  ttimer idle(0);
  EXPECT_TRUE(idle == 0);
  EXPECT_FALSE(idle != 0);

  ttimer t(5);
  now += 300;
  EXPECT_TRUE(t == 2);
  EXPECT_EQ(t.rz, 3u);
  EXPECT_TRUE(t != 0);
  now += 300;
  EXPECT_TRUE(t == 0);
  // Re-arming starts from the current instant.
  t = 4;
  now += 100;
  EXPECT_TRUE(t == 3);
  // Resolution is a tenth: 99 ms more is not a tenth more when the tick was
  // at a whole tenth.
  now += 99;
  EXPECT_TRUE(t == 3);
  plat::set_test_tick(nullptr);
}

TEST(Sync, SemaphoreCountsAndTimesOut) {
  tsync s(1);
  EXPECT_EQ(s.wait(-1), 0);
  EXPECT_EQ(s.wait(20), WAIT_TIMEOUT_CODE);
  s.free(1);
  EXPECT_EQ(s.wait(0), 0);
  s.free(1);
  s.free(1);  // past the maximum: refused, the count stays 1
  EXPECT_EQ(s.wait(0), 0);
  EXPECT_EQ(s.wait(0), WAIT_TIMEOUT_CODE);
  s.free(1);

  tcriticalsection cs;
  cs.enter();
  cs.enter();  // the holder may enter again
  cs.leave();
  cs.leave();
}

// A named semaphore of this test alone, its lock files in a folder of its own.
class NamedSync : public ::testing::Test {
 protected:
  std::string dir, name;
  void SetUp() override {
    char tmpl[] = "/tmp/veskor-sync-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    name = "Veskor/test " + std::to_string(getpid());
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }
};

TEST_F(NamedSync, AKilledHolderLeavesItFree) {
  tsync s(name.c_str(), 1);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    tsync mine(name.c_str(), 1);
    char c = mine.wait(-1) == 0 ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  EXPECT_EQ(c, 'y');
  EXPECT_EQ(s.wait(50), WAIT_TIMEOUT_CODE) << "the other process holds it";
  kill(holder, SIGKILL);
  int status;
  waitpid(holder, &status, 0);
  EXPECT_EQ(s.wait(5000), 0) << "a crash must not keep it taken";
  s.free(1);
  // The lock files are where the user's runtime files go.
  bool found = false;
  for (DIR* d = opendir(dir.c_str()); d; closedir(d), d = nullptr)
    while (dirent* e = readdir(d)) found = found || strncmp(e->d_name, "veskor-sem-", 11) == 0;
  EXPECT_TRUE(found);
}

TEST_F(NamedSync, CountsAreSharedBetweenHandlesAndThreads) {
  tsync a(name.c_str(), 2), b(name.c_str(), 2);
  EXPECT_EQ(a.wait(0), 0);
  EXPECT_EQ(b.wait(0), 0);
  EXPECT_EQ(a.wait(20), WAIT_TIMEOUT_CODE);
  a.free(1);
  a.free(1);  // a holds nothing more: b's count stays taken
  EXPECT_EQ(b.wait(0), 0);
  EXPECT_EQ(a.wait(0), WAIT_TIMEOUT_CODE);
  b.free(2);

  // One count: a waiter without limit gets it when it is given back.
  tsync one((name + "-one").c_str(), 1);
  ASSERT_EQ(one.wait(-1), 0);
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    tsync other((name + "-one").c_str(), 1);
    got = other.wait(-1) == 0;
    other.free(1);
  });
  plat::sleep_ms(50);
  EXPECT_FALSE(got);
  one.free(1);
  waiter.join();
  EXPECT_TRUE(got);

  // Without a runtime folder the user's own one under /tmp serves.
  unsetenv("XDG_RUNTIME_DIR");
  tsync fallback((name + "-tmp").c_str(), 1);
  EXPECT_EQ(fallback.wait(0), 0);
  EXPECT_EQ(tsync((name + "-tmp").c_str(), 1).wait(0), WAIT_TIMEOUT_CODE);
  fallback.free(1);
  std::string own = "/tmp/veskor-" + std::to_string(getuid());
  struct stat st;
  ASSERT_EQ(stat(own.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  std::string mark = std::to_string(getpid()) + "-tmp";
  for (DIR* d = opendir(own.c_str()); d; closedir(d), d = nullptr)
    while (dirent* e = readdir(d))
      if (strstr(e->d_name, mark.c_str())) unlink((own + "/" + e->d_name).c_str());
}

TEST(Sync, LibraryLocksExistBeforeMain) {
  EXPECT_NE(KEY_SYNC.HSM, nullptr);
  EXPECT_NE(SORT_SYNC.HSM, nullptr);
  EXPECT_NE(_VIDEO_CS.CS, nullptr);
  EXPECT_EQ(KEY_SYNC.wait(0), 0);
  KEY_SYNC.free(1);
  EXPECT_EQ(cLGRAY.COLOR, 0x00C8D0D4u);
  EXPECT_EQ(cRED.COLOR, 0x000000FFu);
  EXPECT_EQ(cLYELLOW.COLOR, 0x00D2F0F0u);
}

int shown() { return plat::cursor_id(plat::get_cursor()); }

TEST(BusyPointer, HourglassWhileAliveWithoutNesting) {
  {
    _wait outer;
    EXPECT_EQ(outer.WIN, nullptr);
    EXPECT_EQ(outer.TITLE, nullptr);
    EXPECT_TRUE(outer.step());
    EXPECT_EQ(shown(), IDC_WAIT);
    {
      _wait inner;
      EXPECT_EQ(shown(), IDC_WAIT);
    }
    EXPECT_EQ(shown(), IDC_ARROW) << "the inner one restores the arrow at once";
  }
  EXPECT_EQ(shown(), IDC_ARROW);
  {
    twait a;
    EXPECT_EQ(shown(), IDC_WAIT);
    EXPECT_EQ(plat::cursor_id(CURSOR), IDC_WAIT) << "the pointer shown over client areas";
  }
  EXPECT_EQ(shown(), IDC_ARROW);
}

TEST(Text, Cp1251RoundTripsAndForeignCharactersAreDropped) {
  for (int c = 1; c < 256; c++) {
    if (c == 0x98) continue;  // the one unassigned byte
    char s[2] = {(char)c, 0};
    EXPECT_EQ(plat::from_utf8(plat::to_utf8(s).c_str()), std::string(s)) << c;
  }
  EXPECT_EQ(plat::to_utf8("Ок"), std::string("\xD0\x9E\xD0\xBA"));
  EXPECT_EQ(plat::to_utf8("\x98"), std::string("\xEF\xBF\xBD"));
  EXPECT_EQ(plat::to_utf8("a\0b", 3), std::string("a\xEF\xBF\xBD" "b"));
  // A CJK character between two letters is dropped.
  EXPECT_EQ(plat::from_utf8("a\xE4\xB8\xAD" "z"), std::string("az"));
  std::string out;
  EXPECT_FALSE(plat::path_from_fs("/tmp/\xE4\xB8\xAD.hex", out));
  EXPECT_TRUE(plat::path_from_fs("/tmp/\xD0\xBF.hex", out));
  EXPECT_EQ(out, std::string("/tmp/п.hex"));
  EXPECT_EQ(plat::path_to_fs("/tmp/п.hex"), std::string("/tmp/\xD0\xBF.hex"));
  EXPECT_EQ(plat::path_to_fs("/tmp/\x98"), std::string()) << "a byte without a character is no path";
}

TEST(Text, MalformedUtf8IsRefusedNeverGuessed) {
  // Over-long forms of '/' and '.', a surrogate, a code point past U+10FFFF,
  // a cut sequence, a stray continuation byte.
  const char* bad[] = {"/tmp\xE0\x80\xAF" "fw.hex", "/tmp\xC0\xAF" "fw.hex", "/a\xC1\xAE" "hex",
                       "/tmp/\xF0\x80\x80\xAF", "/\xED\xA0\x80", "/\xF4\x90\x80\x80", "/a\xC3",
                       "/a\x80" "b"};
  for (const char* s : bad) {
    std::string out = "untouched";
    EXPECT_FALSE(plat::path_from_fs(s, out)) << s;
    EXPECT_EQ(out, "") << s;
    EXPECT_EQ(plat::from_utf8(s), "") << "typed text and the clipboard take nothing of it: " << s;
    EXPECT_FALSE(plat::is_utf8(s, strlen(s))) << s;
  }
  EXPECT_TRUE(plat::is_utf8("/tmp/\xD0\xBF\xE2\x9C\x93", 10));
  EXPECT_TRUE(plat::is_utf8("", 0));
}

}  // namespace
