// Locks, the polling timer and the busy pointer.
#include <gtest/gtest.h>

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
  // A CJK character and a broken sequence between two letters.
  EXPECT_EQ(plat::from_utf8("a\xE4\xB8\xAD\xC3z"), std::string("az"));
  std::string out;
  EXPECT_FALSE(plat::path_from_fs("/tmp/\xE4\xB8\xAD.hex", out));
  EXPECT_TRUE(plat::path_from_fs("/tmp/\xD0\xBF.hex", out));
  EXPECT_EQ(out, std::string("/tmp/п.hex"));
}

}  // namespace
