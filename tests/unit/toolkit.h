// Shared by the toolkit tests: the window class registered once, and pumps
// that collect what getkey returns.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "class/class.h"
#include "platform/platform.h"

inline void register_test_class() {
  static int instance;
  static bool done = false;
  if (!done) reg_class("VeskorTest", &instance, 1);
  done = true;
}

// Puts back what a test may leave behind in the toolkit's globals: codes
// waiting in the ring, the end of the session and its hooks, the modifier
// keys, the mouse buttons, the minimum window size. The tests of one binary
// share a process, so each starts and ends with this to hold in any order.
inline void reset_toolkit_state() {
  CURRENT = LAST;
  END_SESSION = false;
  DISABLE_REBOOT = false;
  __COPY_DATA_FUNC = nullptr;
  __QUERY_END_SESSION = nullptr;
  __END_SESSION = nullptr;
  __SUSPEND = nullptr;
  CONTROL_BUTTON = SHIFT_BUTTON = false;
  MOUSE_LBUTTON = MOUSE_RBUTTON = false;
  _DRAG_MODE = false;
  CUR_MIN_LEN = CUR_MIN_DOWN = 0;
}

// Base of the toolkit tests' fixtures.
class ToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    register_test_class();
    reset_toolkit_state();
  }
  void TearDown() override {
    reset_toolkit_state();
    EXPECT_EQ(THWND, nullptr) << "a window outlived its test";
    EXPECT_EQ(_OBJECT, nullptr) << "an element outlived its test";
  }
};

// Runs getkey for about ms milliseconds; returns every non-zero code.
inline std::vector<int> pump_for(int ms) {
  std::vector<int> codes;
  uint32_t start = plat::tick();
  while ((int)(plat::tick() - start) < ms) {
    int c = getkey();
    if (c) codes.push_back(c);
  }
  return codes;
}

// Runs getkey until it returns want (true) or ms pass (false).
inline bool pump_until(int want, int ms = 3000, std::vector<int>* seen = nullptr) {
  uint32_t start = plat::tick();
  while ((int)(plat::tick() - start) < ms) {
    int c = getkey();
    if (seen && c) seen->push_back(c);
    if (c == want) return true;
  }
  return false;
}

// Codes other than the background ones (ticks, repaints, focus).
inline std::vector<int> without_noise(const std::vector<int>& codes) {
  std::vector<int> out;
  for (int c : codes)
    if (c != CMD_TICK && c != CMD_REPAINT && c != CMD_FOCUS_GAINED && c != CMD_FOCUS_LOST) out.push_back(c);
  return out;
}

inline int count_of(const std::vector<int>& v, int code) { return (int)std::count(v.begin(), v.end(), code); }

// A registered element that records what reaches it and may answer with a
// code of its own.
class probe : public tobject {
 public:
  std::vector<int> got;
  int on_code = -1, answer = 0;
  probe(int x, int y, int len, int down) {
    X = x;
    Y = y;
    LEN = len;
    DOWN = down;
    set_object(this);
  }
  ~probe() override { reset_object(); }
  int message(int code) override {
    got.push_back(code);
    return code == on_code ? answer : 0;
  }
};
