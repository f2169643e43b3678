// The message box and the question box run their own loops, so the tests
// either queue codes before the call or look inside through a spy: an element
// made before the box gets every tick (ticks reach all windows' elements) and
// so runs while the box is open, where it can read the box's window and send
// it real input.
#include <cstring>
#include <functional>
#include <string>

#include "tests/unit/toolkit.h"

namespace {

void queue(int code, int times = 1) {
  for (int i = 0; i < times; i++) set_key(code, nullptr, 0, 0, 0);
}

// Everything left in the ring.
std::vector<int> drain() {
  std::vector<int> v;
  for (int c; (c = get_key()) != 0;) v.push_back(c);
  return v;
}

class spy : public tobject {
 public:
  std::function<int()> act;
  bool done = false;
  explicit spy(std::function<int()> f) : act(std::move(f)) { set_object(this); }
  ~spy() override { reset_object(); }
  int message(int code) override {
    if (code != CMD_TICK || done) return 0;
    done = true;
    return act();
  }
};

int client_width(void* hwnd) {
  plat::rect r;
  plat::get_client_rect(hwnd, &r);
  return r.right;
}

class Dialogs : public ::testing::Test {
 protected:
  void SetUp() override { register_test_class(); }
};

TEST_F(Dialogs, MessageEndsOnTheHundredAndFirstTickAndNotBefore) {
  // 101 ticks and a marker: the box takes exactly the ticks.
  queue(CMD_TICK, 101);
  queue(777);
  message("Прошилось");
  std::vector<int> rest = drain();
  EXPECT_EQ(count_of(rest, 777), 1);
  EXPECT_EQ(count_of(rest, CMD_TICK), 0);

  // 100 ticks do not end it: the Enter behind them is taken as well.
  queue(CMD_TICK, 100);
  queue(KEY_ENTER);
  queue(777);
  message("Прошилось");
  rest = drain();
  EXPECT_EQ(count_of(rest, KEY_ENTER), 0);
  EXPECT_EQ(count_of(rest, 777), 1);
}

TEST_F(Dialogs, MessageEndsOnEnterEscAndClose) {
  for (int code : {KEY_ENTER, KEY_ESC, CMD_CLOSE}) {
    queue(code);
    queue(777);
    uint32_t t0 = plat::tick();
    message("x");
    EXPECT_LT(plat::tick() - t0, 2000u) << code;
    EXPECT_EQ(count_of(drain(), 777), 1) << code;
  }
  // No text at all is an empty box, not a crash.
  queue(KEY_ESC);
  message(nullptr);
  queue(KEY_ESC);
  EXPECT_EQ(yes_no(nullptr), 0);
  // Other codes, typed letters among them, leave it open.
  queue('a');
  queue(KEY_F1);
  queue(KEY_ESC);
  queue(777);
  message("x");
  std::vector<int> rest = drain();
  EXPECT_EQ(count_of(rest, 'a') + count_of(rest, KEY_F1), 0);
  EXPECT_EQ(count_of(rest, 777), 1);
}

TEST_F(Dialogs, MessageClosesByItselfAfterAboutTenSeconds) {
  // The box is the only window, so its own timer gives the ticks.
  uint32_t t0 = plat::tick();
  message("Устройство не ответило");
  uint32_t took = plat::tick() - t0;
  EXPECT_GE(took, 9500u);
  EXPECT_LT(took, 13000u);
}

TEST_F(Dialogs, MessageLayoutAndItsButtonAnswerToTheMouse) {
  int width = 0, text_right = 0;
  void* box = nullptr;
  spy s([&] {
    box = THWND;
    width = client_width(THWND);
    text_right = XT;
    // The OK button lies at -94, -23 of the 300 x 60 box: 207..297, 38..58.
    plat::inject_mouse_move(THWND, 250, 48);
    plat::inject_mouse_button(THWND, 250, 48, 1, true);
    plat::inject_mouse_button(THWND, 250, 48, 1, false);
    return 0;
  });
  queue(CMD_TICK);
  uint32_t t0 = plat::tick();
  message("Ок");
  EXPECT_LT(plat::tick() - t0, 3000u) << "the click did not close the box";
  EXPECT_NE(box, nullptr);
  EXPECT_EQ(width, 300);
  EXPECT_LT(text_right, 300);
  EXPECT_EQ(XBT, 297);
  EXPECT_EQ(YBT, 58);
  EXPECT_EQ(THWND, nullptr) << "the box's window is gone and nothing else was current";
}

TEST_F(Dialogs, MessageWidensToALongTextAndStaysOnTheScreen) {
  std::string text;
  for (int i = 0; i < 6; i++) text += "Устройство не найдено. ";
  int width = 0, text_right = 0, button_x = 0;
  spy s([&] {
    width = client_width(THWND);
    text_right = XT;
    button_x = XBT - 90;
    return KEY_ESC;
  });
  queue(CMD_TICK);
  message(text.c_str());
  EXPECT_GT(text_right, 300);
  EXPECT_EQ(width, text_right + 8);
  // The button keeps its place at the right edge of the wider box.
  EXPECT_EQ(button_x, width + 1 - 94);

  // A text no screen could hold: the box spans the screen and the text is cut.
  std::string huge(200000, 'W');
  int sw = plat::screen_width();
  plat::rect outer = {0, 0, 0, 0};
  s.done = false;
  s.act = [&] {
    width = client_width(THWND);
    text_right = XT;
    plat::get_window_rect(THWND, &outer);
    return KEY_ESC;
  };
  queue(CMD_TICK);
  uint32_t t0 = plat::tick();
  message(huge.c_str());
  EXPECT_LT(plat::tick() - t0, 5000u);
  EXPECT_GT(width, sw / 2);
  EXPECT_LE(width, sw);
  EXPECT_EQ(width, text_right + 8);
  EXPECT_GE(outer.left, 0);
  EXPECT_LE(outer.right, sw);
}

TEST_F(Dialogs, YesNoAnswersByKeysAndClose) {
  queue(KEY_ENTER);
  EXPECT_EQ(yes_no("Да?"), 1);
  queue(KEY_ESC);
  EXPECT_EQ(yes_no("Да?"), 0);
  queue(CMD_CLOSE);
  EXPECT_EQ(yes_no("Да?"), 0);
  // No time-out: 150 ticks pass unanswered, then Enter.
  queue(CMD_TICK, 150);
  queue(KEY_ENTER);
  EXPECT_EQ(yes_no("Да?"), 1);
  EXPECT_EQ(count_of(drain(), KEY_ENTER), 0);
}

TEST_F(Dialogs, YesNoAnswersRealKeysClicksAndTheCloseBox) {
  struct step {
    std::function<void(void*)> input;
    int want;
  };
  // Buttons of the 300 x 60 box: yes at 115..205, no at 207..297, y 38..58.
  auto click = [](int x) {
    return [x](void* w) {
      plat::inject_mouse_move(w, x, 48);
      plat::inject_mouse_button(w, x, 48, 1, true);
      plat::inject_mouse_button(w, x, 48, 1, false);
    };
  };
  step steps[] = {
      {[](void* w) { plat::inject_key(w, VK_RETURN, true), plat::inject_key(w, VK_RETURN, false); }, 1},
      {[](void* w) { plat::inject_key(w, VK_ESCAPE, true), plat::inject_key(w, VK_ESCAPE, false); }, 0},
      {[](void* w) { plat::inject_close(w); }, 0},
      {click(160), 1},
      {click(250), 0},
  };
  int n = 0;
  for (step& st : steps) {
    spy s([&] {
      st.input(THWND);
      return 0;
    });
    queue(CMD_TICK);
    uint32_t t0 = plat::tick();
    EXPECT_EQ(yes_no("Ввести адрес вручную?"), st.want) << "step " << n;
    EXPECT_LT(plat::tick() - t0, 3000u) << "step " << n;
    n++;
  }
  EXPECT_EQ(XBT, 297);
}

TEST_F(Dialogs, DialogsOverAWindowHandItBackAndKeepTheirButtonTitles) {
  twindow main(400, 200, "main");
  pump_for(50);
  const char* yes = SD_YES;
  modify_system_dialogs(nullptr, nullptr, "Конечно", nullptr);
  EXPECT_STREQ(SD_OK, "Ок");
  EXPECT_STREQ(SD_YES, "Конечно");
  EXPECT_STREQ(SD_NO, "Нет");
  EXPECT_STREQ(SD_CANCEL, "Отмена");
  void* inside = nullptr;
  spy s([&] {
    inside = THWND;
    return KEY_ENTER;
  });
  queue(CMD_TICK);
  EXPECT_EQ(yes_no("?"), 1);
  EXPECT_NE(inside, main.hwnd);
  EXPECT_EQ(THWND, main.hwnd);
  modify_system_dialogs(nullptr, nullptr, yes, nullptr);
}

TEST_F(Dialogs, RepTrimsLineEndsAndBlanksOnly) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"abc \r\n", "abc"}, {"abc\t", "abc\t"}, {"abc\t \n", "abc\t"}, {" \r\n \n", ""},
      {"", ""},           {" a b ", " a b"}, {"\r\nabc", "\r\nabc"},
  };
  for (auto& c : cases) {
    char buf[32];
    strcpy(buf, c.in);
    EXPECT_EQ(rep(buf), buf);
    EXPECT_STREQ(buf, c.out) << "[" << c.in << "]";
  }
  EXPECT_EQ(rep(nullptr), nullptr);
}

TEST_F(Dialogs, NameAndPathSplitAtTheLastSlashOfEitherKind) {
  struct {
    const char* in;
    const char* name;
    const char* path;
  } cases[] = {
      {"/home/user/fw/прошивка.hex", "прошивка.hex", "/home/user/fw/"},
      {"C:\\fw\\old\\a.hex", "a.hex", "C:\\fw\\old\\"},
      {"/mnt/share\\dir/x.hex", "x.hex", "/mnt/share\\dir/"},
      {"/mnt/share/dir\\x.hex", "x.hex", "/mnt/share/dir\\"},
      {"a.hex", "a.hex", ""},
      {"/fw/", "", "/fw/"},
      {"/", "", "/"},
      {"", "", ""},
  };
  for (auto& c : cases) {
    char a[64], b[64];
    strcpy(a, c.in);
    strcpy(b, c.in);
    EXPECT_EQ(name(a), a);
    EXPECT_STREQ(a, c.name) << c.in;
    EXPECT_EQ(path(b), b);
    EXPECT_STREQ(b, c.path) << c.in;
  }
}

TEST_F(Dialogs, ClipboardRoundTripHonoursTheLimitOfTheBuffer) {
  twindow w(100, 50, "clip");
  copy_text_to_clipboard(w.hwnd, "Прошивка №5");
  char buf[40];
  memset(buf, '#', sizeof buf);
  strcpy(buf, "..............................");  // room for 30
  copy_text_from_clipboard(w.hwnd, buf);
  EXPECT_STREQ(buf, "Прошивка №5");

  // A buffer holding 4 characters takes 4; nothing past the limit changes.
  memset(buf, '#', sizeof buf);
  memcpy(buf, "....", 5);
  copy_text_from_clipboard(w.hwnd, buf);
  EXPECT_STREQ(buf, "Прош");
  EXPECT_EQ(buf[5], '#');

  // An empty buffer takes nothing.
  buf[0] = 0;
  buf[1] = '#';
  copy_text_from_clipboard(w.hwnd, buf);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(buf[1], '#');

  copy_text_from_clipboard(w.hwnd, nullptr);
  copy_text_to_clipboard(w.hwnd, nullptr);
}

}  // namespace
