// The line editor driven through the real pump: keys and clicks are injected
// as SDL events before the edit starts (its loop runs inside getkey), and the
// buffer, LKEY and the text's geometry are checked once the field's code
// comes back.
#include <SDL.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "tests/unit/toolkit.h"

using namespace std::string_literals;

namespace {

// getkey until it returns want; bounded by the wall clock, since some cases
// freeze the toolkit's tick.
bool pump_to(int want, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end)
    if (getkey() == want) return true;
  return false;
}

void tap(void* hwnd, int vk) {
  plat::inject_key(hwnd, vk, true);
  plat::inject_key(hwnd, vk, false);
}

void click(void* hwnd, int x, int y, int button = 1) {
  plat::inject_mouse_move(hwnd, x, y);
  plat::inject_mouse_button(hwnd, x, y, button, true);
  plat::inject_mouse_button(hwnd, x, y, button, false);
}

std::string padded(const std::string& s, size_t n = 16) { return s + std::string(n - s.size(), ' '); }

// The password dialog's layout: a 140-pixel field of 16 blanks.
struct field {
  twindow w;
  ttext tp;
  tborder bp;
  tread rp;
  explicit field(const std::string& text = padded(""), int len = 140)
      : w(264, 57, "Введите пароль"), tp(114, 8, text.c_str(), len), bp(&tp, (char)254), rp(&tp, 1001) {}
  std::string text() const { return tp.TXT; }
  // x in the window just right of the left edge of character i.
  int at(int i) { return tp.x() + len_str(&tp, i) + 1; }
  void type(const char* s) { plat::inject_text(w.hwnd, s); }
  void key(int vk) { tap(w.hwnd, vk); }
  void drag(int from, int to) {
    plat::inject_mouse_button(w.hwnd, at(from), 12, 1, true);
    plat::inject_mouse_move(w.hwnd, at(to), 12);
    plat::inject_mouse_button(w.hwnd, at(to), 12, 1, false);
  }
  // Runs the pump until the field's code comes back; LKEY.
  int finish() {
    EXPECT_TRUE(pump_to(1001)) << "the edit did not end";
    return rp.LKEY;
  }
  // One edit from start: input, then the key that ends it.
  int edit(int start, const std::function<void()>& input, int end = VK_RETURN) {
    rp.read(start);
    input();
    key(end);
    return finish();
  }
};

class Editing : public ::testing::Test {
 protected:
  void SetUp() override { register_test_class(); }
  void TearDown() override { plat::set_test_tick(nullptr); }
};

TEST_F(Editing, TypingArrowsHomeEndAndAFullField) {
  field f;
  EXPECT_EQ(f.edit(0, [&] {
    f.type("abc");
    f.key(VK_END);
    f.type("X");  // End: the caret was at 3
    f.key(VK_HOME);
    f.type("Y");
    f.key(VK_RIGHT);
    f.key(VK_RIGHT);
    f.key(VK_LEFT);
    f.type("Z");
  }), KEY_ENTER);
  EXPECT_EQ(f.text(), padded("YaZbcX"));
  EXPECT_EQ(f.rp.STATUS, 1);
  EXPECT_EQ(f.tp.SSEL, f.tp.ESEL);
  // 20 characters into 16: the first 15, then the last one typed.
  f.edit(-2, [&] { f.type("ABCDEFGHIJKLMNOPQRST"); });
  EXPECT_EQ(f.text(), "ABCDEFGHIJKLMNOT");
}

TEST_F(Editing, BackspaceAndDelete) {
  field f(padded("hello world"));
  f.edit(0, [&] {
    f.key(VK_BACK);  // at 0: nothing
    f.key(VK_DELETE);
    f.key(VK_END);
    f.key(VK_BACK);
  });
  EXPECT_EQ(f.text(), padded("ello worl"));
  // A dragged selection over "llo" goes and the gap closes.
  f.edit(0, [&] {
    f.drag(1, 4);
    f.key(VK_DELETE);
  });
  EXPECT_EQ(f.text(), padded("e worl"));
  // Backspace takes a selection too, wherever the caret is.
  f.edit(-2, [&] {
    f.key(VK_HOME);
    f.drag(3, 0);
    f.key(VK_BACK);
  });
  EXPECT_EQ(f.text(), padded("orl"));
}

TEST_F(Editing, EndingKeysBecomeLkeyAndAreNotHandedOn) {
  field f;
  const int keys[][2] = {
      {VK_TAB, KEY_TAB}, {VK_RETURN, KEY_ENTER}, {VK_ESCAPE, KEY_ESC}, {VK_F1, KEY_F1}, {VK_UP, KEY_UP}};
  for (auto& k : keys) {
    EXPECT_EQ(f.edit(0, [&] { f.type("a"); }, k[0]), k[1]);
    EXPECT_EQ(count_of(pump_for(50), k[1]), 0) << k[1];
  }
  // No tab went into the text, nor anything else but the a's.
  EXPECT_EQ(f.text(), padded("aaaaa"));
  // F8 and Insert do not end an edit.
  EXPECT_EQ(f.edit(0, [&] {
    f.key(VK_F1 + 7);
    f.key(VK_INSERT);
    f.type("b");
  }), KEY_ENTER);
  EXPECT_EQ(f.text(), padded("baaaaa"));
}

TEST_F(Editing, AClickOutsideEndsWith386AndTheClickedButtonFires) {
  field f;
  thbutton cancel(172, 35, 234, "Отмена", 90, 20, KEY_ESC, nullptr, 0, nullptr, &cLGRAY);
  f.rp.read(0);
  f.type("pw");
  click(f.w.hwnd, 200, 45);
  EXPECT_EQ(f.finish(), CMD_PRESS_OUTSIDE);
  EXPECT_TRUE(pump_to(KEY_ESC)) << "the button never got the click";
  EXPECT_EQ(f.text(), padded("pw"));
  // A click while idle starts an edit at the character under the pointer,
  // at most at the end of the text.
  click(f.w.hwnd, f.at(1), 12);
  f.type("-");
  click(f.w.hwnd, 250, 12);
  f.type("!");
  f.key(VK_RETURN);
  EXPECT_EQ(f.finish(), KEY_ENTER);
  EXPECT_EQ(f.text(), padded("p-w!"));
}

TEST_F(Editing, ADoubleClickSelectsTheWholeBuffer) {
  field f(padded("one two"));
  uint32_t now = 500000;
  plat::set_test_tick(&now);
  f.edit(0, [&] {
    click(f.w.hwnd, f.at(2), 12);
    click(f.w.hwnd, f.at(5), 12);
    f.type("3");
  });
  EXPECT_EQ(f.text(), padded("3"));
}

TEST_F(Editing, APasswordFieldIsMeasuredByItsAsterisks) {
  field f(padded("WWWW"));
  f.tp.PASS_STR = true;
  int star = len_str(&f.tp, 1);
  EXPECT_EQ(len_str(&f.tp, 3), 3 * star);
  // Two asterisks in is character 2; W widths would say 0.
  click(f.w.hwnd, f.tp.x() + 2 * star + 1, 12);
  f.type("x");
  f.key(VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), padded("WWxWW"));
  EXPECT_EQ(std::string(f.tp.pass_text()), padded("*****"));
}

TEST_F(Editing, DigitOnlyAndNumberCharacters) {
  field f;
  f.tp.DIGIT_ONLY = true;
  f.edit(0, [&] { f.type("1a.2-3 x"); });
  EXPECT_EQ(f.text(), padded("123"));
  f.tp.DIGIT_ONLY = false;
  f.tp << padded("").c_str();
  f.type("1a,2-3:4.5 Zя");
  f.key(VK_RETURN);
  EXPECT_EQ(read_string(&f.tp, 1, 0), KEY_ENTER);
  EXPECT_EQ(f.text(), padded("1,2-3:4.5 "));
}

// A text that records where it was drawn and how it was clipped.
class spytext : public ttext {
 public:
  struct shot {
    int x, len, xsm, clip_x, clip_len;  // clip_len 0: no parent
  };
  std::vector<shot> shots;
  spytext(int x, int y, const char* text, int len) : ttext(x, y, text, &cBLACK, &cWHITE, len) {}
  void paint(void* dc) override {
    shots.push_back({x(), len(), XSM, OBJ ? OBJ->x() : 0, OBJ ? OBJ->len() : 0});
    ttext::paint(dc);
  }
};

TEST_F(Editing, TheTextScrollsInsideItsFieldAndIsPutBackAfterwards) {
  twindow w(300, 60, "scroll");
  spytext t(20, 10, std::string(30, ' ').c_str(), 40);
  tread r(&t, 1001);
  r.read(0);
  plat::inject_text(w.hwnd, "abcdefghijklmnopqrst");
  tap(w.hwnd, VK_RETURN);
  ASSERT_TRUE(pump_to(1001));
  // The most scrolled paint: the text moved left with its right edge on
  // the field's, the last character inside, clipped to the field.
  spytext::shot s = t.shots[0];
  for (auto& o : t.shots)
    if (o.xsm < s.xsm) s = o;
  EXPECT_LT(s.xsm, 0);
  EXPECT_EQ(s.x + s.len, 60);
  EXPECT_EQ(s.clip_x, 20);
  EXPECT_EQ(s.clip_len, 40);
  EXPECT_LE(s.x + len_str(&t, 20), 60);
  EXPECT_GE(s.x + len_str(&t, 19), 20);
  // Leaving puts everything back.
  EXPECT_EQ(t.XSM, 0);
  EXPECT_EQ(t.LEN, 40);
  EXPECT_EQ(t.OBJ, nullptr);
}

// The context menu runs its own loop inside the editor's: an element of the
// dialog gets the menu's ticks, clicks the item on the menu's window and then
// queues the input that follows (the editor's loop sees no ticks).
class menu_picker : public tobject {
 public:
  struct step {
    int item;
    std::function<void()> then;
  };
  std::vector<step> steps;
  int opened = 0;
  explicit menu_picker(std::vector<step> s) : steps(std::move(s)) { set_object(this); }
  ~menu_picker() override { reset_object(); }
  int message(int code) override {
    if (code != CMD_TICK || opened >= (int)steps.size() || THWND == shown) return 0;
    shown = THWND;
    step& s = steps[opened++];
    click(THWND, 60, s.item * 20 + (s.item == 4 ? 4 : 0) + 10);
    s.then();
    return 0;
  }

 private:
  void* shown = nullptr;
};

TEST_F(Editing, TheContextMenuReachesTheClipboard) {
  field f(padded("alpha beta"));
  auto menu = [&] { click(f.w.hwnd, f.at(1), 12, 3); };
  auto enter = [&] { f.key(VK_RETURN); };
  SDL_SetClipboardText("");
  {
    // Select all, then cut: the buffer is blank, its text on the clipboard.
    menu_picker p({{4, menu}, {0, enter}});
    f.rp.read(0);
    menu();
    f.finish();
    EXPECT_EQ(p.opened, 2);
  }
  EXPECT_EQ(f.text(), padded(""));
  std::string clip;
  ASSERT_TRUE(plat::clipboard_get(clip));
  EXPECT_EQ(clip, padded("alpha beta"));
  {
    // Copy a selection, delete it, paste it twice at the caret: the second
    // time only as far as there is room.
    f.tp << padded("12345678901").c_str();
    menu_picker p({{1, menu}, {3, menu}, {2, menu}, {2, enter}});
    f.rp.read(0);
    f.drag(0, 6);
    menu();
    f.finish();
    EXPECT_EQ(p.opened, 4);
  }
  EXPECT_EQ(f.text(), "12345612345678901"s.substr(0, 16));
  {
    // Without a selection cut, copy and delete cannot be chosen.
    SDL_SetClipboardText("old");
    menu_picker p({{0, menu}, {1, menu}, {3, enter}});
    f.rp.read(0);
    menu();
    f.finish();
  }
  EXPECT_EQ(f.text(), "12345612345678901"s.substr(0, 16));
  {
    // A password field's selection may be deleted but not copied out.
    f.tp.PASS_STR = true;
    menu_picker p({{1, menu}, {0, enter}});
    f.rp.read(-2);
    menu();
    f.finish();
  }
  ASSERT_TRUE(plat::clipboard_get(clip));
  EXPECT_EQ(clip, "old");
}

TEST_F(Editing, BadInputNeverGrowsTheBuffer) {
  field f(padded("", 8), 60);
  auto enter = [&] { f.key(VK_RETURN); };
  f.edit(0, [&] {
    f.type("ab");
    // Straight UTF-8: an emoji and a CJK character are dropped, я is kept.
    for (const char* u : {"\xF0\x9F\x98\x80", "\xE4\xB8\xAD", "\xD1\x8F"}) {
      SDL_Event e;
      SDL_zero(e);
      e.type = SDL_TEXTINPUT;
      std::strncpy(e.text.text, u, sizeof e.text.text - 1);
      SDL_PushEvent(&e);
    }
    set_key(3, f.w.hwnd, 3, 0, WM_CHAR);  // Ctrl+C and Ctrl+V do nothing
    set_key(22, f.w.hwnd, 22, 0, WM_CHAR);
  });
  EXPECT_EQ(f.text(), std::string("abя") + padded("", 5));
  // Pasted line ends, tabs and foreign characters are dropped, and only
  // what fits goes in; a clipboard without text inserts nothing.
  for (const char* text : {"1\r\n2\t3\xF0\x9F\x98\x80" "4567890123456789", ""}) {
    SDL_SetClipboardText(text);
    menu_picker p({{2, enter}});
    f.rp.read(0);
    click(f.w.hwnd, f.at(1), 12, 3);
    f.finish();
    EXPECT_EQ(f.text(), "12345abя");
  }
  // An empty text has no room at all.
  ttext none(10, 30, "", 50);
  tread rn(&none, 1002);
  rn.read(-2);
  f.type("abc");
  f.key(VK_BACK);
  f.key(VK_DELETE);
  f.key(VK_RETURN);
  ASSERT_TRUE(pump_to(1002));
  EXPECT_STREQ(none.TXT, "");
}

TEST_F(Editing, NumberTimeAndDateFields) {
  twindow w(300, 120, "fields");
  ttext num(10, 10, 1234.5, 10, &cBLACK, &cWHITE, 100);
  tread rnum(&num, 1001);
  ttext pi(10, 30, 3.14159265, 6, &cBLACK, &cWHITE, 100);
  tread rpi(&pi, 1002);
  ttext tm(10, 50, ttime(12, 30, 45), &cBLACK, &cWHITE);
  tread rtm(&tm, 1003);
  ttext dt(10, 70, tdate(31, 1, 2023), &cBLACK, &cWHITE);
  tread rdt(&dt, 1004);
  // A number is edited left-aligned and shown grouped again.
  rnum.read(0);
  plat::inject_text(w.hwnd, "9");
  tap(w.hwnd, VK_RETURN);
  ASSERT_TRUE(pump_to(1001));
  EXPECT_DOUBLE_EQ(num.DIGIT, 91234.5);
  EXPECT_STREQ(num.TXT, "  91 234.5");
  // Left unchanged it keeps the decimals its edited form had no room for.
  rpi.read(0);
  tap(w.hwnd, VK_ESCAPE);
  ASSERT_TRUE(pump_to(1002));
  EXPECT_DOUBLE_EQ(pi.DIGIT, 3.14159265);
  // A time is typed over its selection and read back.
  rtm.read(-2);
  plat::inject_text(w.hwnd, "8:05.07");
  tap(w.hwnd, VK_TAB);
  ASSERT_TRUE(pump_to(1003));
  EXPECT_STREQ(tm.TXT, "08:05.07");
  // A date opens the calendar; day 5 is chosen there.
  rdt.read(0);
  set_key(805, nullptr, 0, 0, 0);
  ASSERT_TRUE(pump_to(1004));
  EXPECT_STREQ(dt.TXT, "05-01-2023");
  EXPECT_EQ(THWND, w.hwnd);
}

}  // namespace
