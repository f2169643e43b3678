// A burn in a real window on Xvfb: the progress window stands over the main
// window while the pages go out, and the device ends up with the image.
#include <cstdlib>
#include <string>

#include "tests/device/segment.h"
#include "tests/e2e/xsession.h"

namespace {

TEST(EndToEnd, ProgressWindowStandsDuringTheBurn) {
  if (!have_program("Xvfb") || !have_program("xdotool")) GTEST_SKIP() << "Xvfb or xdotool missing";
  devtest::segment seg(1);
  START_SEGMENT_OR_SKIP(seg);
  xsession x;
  ASSERT_TRUE(x.start());
  setenv("DISPLAY", x.display.c_str(), 1);
  setenv("SDL_VIDEODRIVER", "x11", 1);
  std::string out = seg.state_dir(0) + "/probe.txt";
  pid_t probe = seg.spawn_in_host({VESKOR_BIN_DIR "/burnprobe", seg.device_ip(0)}, out);
  ASSERT_GT(probe, 0);
  // Programming mode takes about 0.3 s and the burn about 5.4 s.
  usleep(2500 * 1000);
  std::string windows = x.output("xdotool search --onlyvisible --pid " + std::to_string(probe) + " 2>/dev/null");
  int count = 0;
  for (char c : windows) count += c == '\n';
  EXPECT_EQ(count, 2) << "the main window and the progress window: " << windows;
  if (const char* shot = std::getenv("VESKOR_BURN_SHOT")) {
    std::string last = windows.substr(0, windows.size() - 1);
    last = last.substr(last.find_last_of('\n') + 1);
    x.run("import -window " + last + " " + shot);
  }
  int status = devtest::segment::wait_exit(probe, 15000);
  EXPECT_EQ(status, 0);
  auto mem = seg.memory(0);
  EXPECT_EQ(mem.size(), 131072u);
}

}  // namespace
