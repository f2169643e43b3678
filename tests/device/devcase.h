// What every device case starts from. The device link and the toolkit keep
// globals between calls (the event ring with the Esc codes queued for
// message boxes, the password, the burn's bounds and stop flag, the image
// and its geometry): each case resets them before and after it runs, so the
// cases pass in any order.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "class/class.h"
#include "loadhex/loadhex.h"
#include "netdvc/netdvc.h"

namespace devtest {

inline void reset_link_globals() {
  CURRENT = LAST = 0;
  END_SESSION = false;
  std::memset(DEV_PASS, 0, sizeof DEV_PASS);
  std::memcpy(DEV_PASS, "________________", 16);
  BURN_SILENCE_MS = 10000;
  BURN_STALL_MS = 300000;
  BURN_STOP = 0;
  std::memset(MEMORY_MAP, 0xFF, sizeof MEMORY_MAP);
  page_size = 512;
  page_count = 255;
}

class device_case : public ::testing::Test {
 protected:
  void SetUp() override { reset_link_globals(); }
  void TearDown() override { reset_link_globals(); }
};

inline void register_test_class() {
  static int instance;
  static bool done = false;
  if (!done) reg_class("VeskorDeviceTest", &instance, 1);
  done = true;
}

// Esc codes waiting in the ring: each message box shown takes one.
inline void queue_escapes(int n) {
  register_test_class();
  for (int i = 0; i < n; i++) set_key(27, nullptr, 0, 0, 0);
}

inline int escapes_left() {
  int n = 0;
  for (int i = CURRENT; i != LAST; i = (i + 1) % KEY_RING) n += KEY[i].code == 27;
  return n;
}

// An element made before a burn gets every tick while the burn's boxes
// stand open (the main window's timer keeps ticking): it notes what each box
// says and answers it, the question with `answer`, a message with Enter.
class box_watch : public tobject {
 public:
  std::vector<std::string> seen;
  int answer = 27;
  box_watch() { set_object(this); }
  ~box_watch() override { reset_object(); }
  int message(int code) override {
    if (code != 387) return 0;
    for (_object* n = _OBJECT; n; n = n->next) {
      ttext* t = dynamic_cast<ttext*>(n->object);
      if (!t || t->hwnd != THWND) continue;
      std::string text = t->text();
      if (text.rfind("Образ больше", 0) == 0) {
        seen.push_back(text);
        return answer;
      }
      if (text.rfind("Прошивка прервана", 0) == 0) {
        seen.push_back(text);
        return 13;
      }
    }
    return 0;
  }
};

// The application's window stands behind every burn, and its timer gives the
// ticks the boxes count.
class window_case : public device_case {
 protected:
  void SetUp() override {
    device_case::SetUp();
    register_test_class();
    main_ = std::make_unique<twindow>(400, 200, "main");
  }
  void TearDown() override {
    main_.reset();
    device_case::TearDown();
  }
  std::unique_ptr<twindow> main_;
};

}  // namespace devtest
