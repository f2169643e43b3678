// The line editor driven through the real pump: keys and clicks are injected
// as SDL events, the field's code comes back from getkey and the buffer, LKEY
// and the text's geometry are checked afterwards.
#include <SDL.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "tests/unit/toolkit.h"

namespace {

const char* const BLANKS16 = "                ";

// getkey until it returns want; bounded by the wall clock, since some cases
// freeze the toolkit's tick.
bool pump_to(int want, std::vector<int>* seen = nullptr, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    int c = getkey();
    if (seen && c) seen->push_back(c);
    if (c == want) return true;
  }
  return false;
}

void tap(void* hwnd, int vk) {
  plat::inject_key(hwnd, vk, true);
  plat::inject_key(hwnd, vk, false);
}

void click(void* hwnd, int x, int y) {
  plat::inject_mouse_move(hwnd, x, y);
  plat::inject_mouse_button(hwnd, x, y, 1, true);
  plat::inject_mouse_button(hwnd, x, y, 1, false);
}

// A text that records where it was drawn and how it was clipped.
class spytext : public ttext {
 public:
  struct shot {
    int x, len, xsm;
    bool clipped;
    int clip_x, clip_len;  // the parent's, while there is one
  };
  std::vector<shot> shots;
  spytext(int x, int y, const char* text, int len) : ttext(x, y, text, &cBLACK, &cWHITE, len) {}
  void paint(void* dc) override {
    shots.push_back({x(), len(), XSM, OBJ != nullptr, OBJ ? OBJ->x() : 0, OBJ ? OBJ->len() : 0});
    ttext::paint(dc);
  }
};

// The password dialog's layout: a 140-pixel field of 16 blanks.
struct field {
  twindow w;
  ttext tp;
  tborder bp;
  tread rp;
  explicit field(const char* text = BLANKS16, int len = 140)
      : w(264, 57, "Введите пароль"), tp(114, 8, text, len), bp(&tp, (char)254), rp(&tp, 1001) {}
  std::string text() const { return tp.TXT; }
  // x in the window of the left edge of character i, plus one pixel.
  int at(int i) { return tp.x() + len_str(&tp, i) + 1; }
  // Runs the pump until the field's code comes back.
  int finish() {
    std::vector<int> seen;
    EXPECT_TRUE(pump_to(1001, &seen)) << "the edit did not end";
    return rp.LKEY;
  }
};

std::string padded(const std::string& s, size_t n = 16) { return s + std::string(n - s.size(), ' '); }

class Editing : public ::testing::Test {
 protected:
  void SetUp() override { register_test_class(); }
  void TearDown() override { plat::set_test_tick(nullptr); }
};

TEST_F(Editing, TypingMovesTheCaretAndEndAndHomeFindTheText) {
  field f;
  EXPECT_EQ(f.tp.BOX->CL, &cWHITE) << "an editor field is black on white";
  f.rp.read(0);
  plat::inject_text(f.w.hwnd, "abc");
  tap(f.w.hwnd, VK_END);
  plat::inject_text(f.w.hwnd, "X");  // End: the caret was at 3
  tap(f.w.hwnd, VK_HOME);
  plat::inject_text(f.w.hwnd, "Y");  // Home: at 0
  tap(f.w.hwnd, VK_RIGHT);
  tap(f.w.hwnd, VK_RIGHT);
  tap(f.w.hwnd, VK_LEFT);
  plat::inject_text(f.w.hwnd, "Z");  // at 2
  tap(f.w.hwnd, VK_RETURN);
  EXPECT_EQ(f.finish(), 13);
  EXPECT_EQ(f.text(), padded("YaZbcX"));
  EXPECT_EQ(f.rp.STATUS, 1);
  EXPECT_EQ(f.tp.TYPE, 0);
  EXPECT_EQ(f.tp.SSEL, f.tp.ESEL);
}

TEST_F(Editing, AFullFieldKeepsItsLengthAndReplacesTheLastCharacter) {
  field f;
  f.rp.read(0);
  plat::inject_text(f.w.hwnd, "ABCDEFGHIJKLMNOPQRST");
  tap(f.w.hwnd, VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), "ABCDEFGHIJKLMNOT");
  // Inserting before a full text pushes its last character out.
  f.rp.read(0);
  plat::inject_text(f.w.hwnd, "12");
  tap(f.w.hwnd, VK_RIGHT);
  tap(f.w.hwnd, VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), "12ABCDEFGHIJKLMN");
  // End on a full field stops before the last position.
  f.rp.read(0);
  tap(f.w.hwnd, VK_END);
  plat::inject_text(f.w.hwnd, "z");
  tap(f.w.hwnd, VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), "12ABCDEFGHIJKLMz");
}

TEST_F(Editing, BackspaceAndDelete) {
  field f(padded("hello world").c_str());
  f.rp.read(0);
  tap(f.w.hwnd, VK_BACK);  // at 0: nothing
  tap(f.w.hwnd, VK_DELETE);  // deletes the h
  tap(f.w.hwnd, VK_END);
  tap(f.w.hwnd, VK_BACK);  // deletes the d
  tap(f.w.hwnd, VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), padded("ello worl"));

  // A selection dragged over "llo" goes and the gap closes.
  f.rp.read(0);
  plat::inject_mouse_move(f.w.hwnd, f.at(2), 12);
  plat::inject_mouse_button(f.w.hwnd, f.at(1), 12, 1, true);
  plat::inject_mouse_move(f.w.hwnd, f.at(4), 12);
  plat::inject_mouse_button(f.w.hwnd, f.at(4), 12, 1, false);
  tap(f.w.hwnd, VK_DELETE);
  tap(f.w.hwnd, VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), padded("e worl"));

  // Backspace takes a selection too, and typing replaces one.
  f.rp.read(-2);
  tap(f.w.hwnd, VK_BACK);
  plat::inject_text(f.w.hwnd, "ok");
  tap(f.w.hwnd, VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), padded("ok"));
  f.rp.read(-2);
  plat::inject_text(f.w.hwnd, "Q");
  tap(f.w.hwnd, VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), padded("Q"));
}

TEST_F(Editing, EndingKeysBecomeLkeyAndTheEditorNeverActsOnThem) {
  field f;
  for (int vk : {(int)VK_TAB, (int)VK_RETURN, (int)VK_ESCAPE, (int)VK_F1, (int)VK_UP, (int)VK_DOWN, (int)VK_PRIOR}) {
    f.rp.read(0);
    plat::inject_text(f.w.hwnd, "a");
    tap(f.w.hwnd, vk);
    int want = vk == VK_TAB ? 9 : vk == VK_RETURN ? 13 : vk == VK_ESCAPE ? 27 : vk == VK_F1 ? 256
               : vk == VK_UP ? 277 : vk == VK_DOWN ? 279 : 272;
    EXPECT_EQ(f.finish(), want);
    // The ending key is the editor's: it is not handed on as well.
    std::vector<int> after = without_noise(pump_for(100));
    EXPECT_EQ(count_of(after, want), 0) << want;
  }
  // The Tab went nowhere: no tab character, no move; just the seven a's.
  EXPECT_EQ(f.text(), padded("aaaaaaa"));
  // F8, F11, F12 and Insert do not end an edit.
  f.rp.read(0);
  for (int vk : {(int)VK_F1 + 7, (int)VK_F1 + 10, (int)VK_F12, (int)VK_INSERT}) tap(f.w.hwnd, vk);
  plat::inject_text(f.w.hwnd, "b");
  tap(f.w.hwnd, VK_RETURN);
  EXPECT_EQ(f.finish(), 13);
  EXPECT_EQ(f.text(), padded("baaaaaaa"));
  // The close box ends it with 384.
  f.rp.read(0);
  plat::inject_close(f.w.hwnd);
  EXPECT_EQ(f.finish(), 384);
}

TEST_F(Editing, AClickOutsideEndsWith386AndTheClickedButtonFires) {
  field f;
  thbutton cancel(172, 35, 234, "Отмена", 90, 20, 27, nullptr, 0, nullptr, &cLGRAY);
  f.rp.read(0);
  plat::inject_text(f.w.hwnd, "pw");
  click(f.w.hwnd, 200, 45);
  EXPECT_EQ(f.finish(), 386);
  std::vector<int> seen;
  ASSERT_TRUE(pump_to(27, &seen)) << "the button never got the click";
  EXPECT_EQ(count_of(seen, 403), 1);
  EXPECT_EQ(f.text(), padded("pw"));
  // A click in the field while idle starts an edit with the caret under
  // the pointer (at the end of the text at most).
  click(f.w.hwnd, f.at(1), 12);
  plat::inject_text(f.w.hwnd, "-");
  tap(f.w.hwnd, VK_RETURN);
  EXPECT_EQ(f.finish(), 13);
  EXPECT_EQ(f.text(), padded("p-w"));
  click(f.w.hwnd, 250, 12);
  plat::inject_text(f.w.hwnd, "!");
  tap(f.w.hwnd, VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), padded("p-w!"));
}

TEST_F(Editing, ADoubleClickSelectsTheWholeBuffer) {
  field f(padded("one two").c_str());
  uint32_t now = 500000;
  plat::set_test_tick(&now);
  f.rp.read(0);
  click(f.w.hwnd, f.at(2), 12);
  click(f.w.hwnd, f.at(5), 12);
  plat::inject_text(f.w.hwnd, "3");
  tap(f.w.hwnd, VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), padded("3"));
  // A third press of the same burst puts the caret down again.
  f.rp.read(0);
  click(f.w.hwnd, f.at(0), 12);
  click(f.w.hwnd, f.at(0), 12);
  click(f.w.hwnd, f.at(1), 12);
  plat::inject_text(f.w.hwnd, "x");
  tap(f.w.hwnd, VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), padded("3x"));
}

TEST_F(Editing, APasswordFieldIsMeasuredByItsAsterisks) {
  field f(padded("WWWW").c_str());
  f.tp.PASS_STR = true;
  int star = len_str(&f.tp, 1);
  f.tp.PASS_STR = false;
  ASSERT_GT(len_str(&f.tp, 1), star + 2) << "W must be wider than * for this case";
  f.tp.PASS_STR = true;
  EXPECT_EQ(len_str(&f.tp, 3), 3 * star);
  // The press lands two asterisks in: the character index is 2, where W
  // widths would give 0.
  click(f.w.hwnd, f.tp.x() + 2 * star + 1, 12);
  plat::inject_text(f.w.hwnd, "x");
  tap(f.w.hwnd, VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), padded("WWxWW"));
  // The real characters stay in the buffer; only the display is masked.
  EXPECT_EQ(std::string(f.tp.pass_text()), padded("*****"));
}

TEST_F(Editing, DigitOnlyAndNumberCharacters) {
  field f;
  f.tp.DIGIT_ONLY = true;
  f.rp.read(0);
  plat::inject_text(f.w.hwnd, "1a.2-3 x");
  tap(f.w.hwnd, VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), padded("123"));
  // Mode 1 takes what numbers and times are written with.
  f.tp.DIGIT_ONLY = false;
  f.tp << BLANKS16;
  plat::inject_text(f.w.hwnd, "1a,2-3:4.5 Zя");
  tap(f.w.hwnd, VK_RETURN);
  EXPECT_EQ(read_string(&f.tp, 1, 0), 13);
  EXPECT_EQ(f.text(), padded("1,2-3:4.5 "));
}

TEST_F(Editing, TheTextScrollsInsideItsFieldAndIsPutBackAfterwards) {
  twindow w(300, 60, "scroll");
  spytext t(20, 10, std::string(30, ' ').c_str(), 40);
  tborder b(&t, (char)254);
  tread r(&t, 1001);
  r.read(0);
  plat::inject_text(w.hwnd, "abcdefghijklmnopqrst");
  tap(w.hwnd, VK_RETURN);
  ASSERT_TRUE(pump_to(1001));
  // The most scrolled paint, after the last character: the text moved
  // left, its right edge stayed on the field's, the caret's character is
  // inside, and it was clipped to a parent covering the field.
  ASSERT_FALSE(t.shots.empty());
  spytext::shot typed = t.shots[0];
  for (auto& s : t.shots)
    if (s.xsm < typed.xsm) typed = s;
  EXPECT_LT(typed.xsm, 0);
  EXPECT_EQ(typed.x + typed.len, 60);
  ASSERT_TRUE(typed.clipped);
  EXPECT_EQ(typed.clip_x, 20);
  EXPECT_EQ(typed.clip_len, 40);
  EXPECT_LE(typed.x + len_str(&t, 20), 60);
  EXPECT_GE(typed.x + len_str(&t, 19), 20);
  // Leaving puts everything back.
  EXPECT_EQ(t.XSM, 0);
  EXPECT_EQ(t.LEN, 40);
  EXPECT_EQ(t.OBJ, nullptr);
  EXPECT_EQ(t.shots.back().xsm, 0);
  // Home brings the start back into view.
  t.shots.clear();
  r.read(0);
  tap(w.hwnd, VK_END);
  tap(w.hwnd, VK_HOME);
  tap(w.hwnd, VK_RETURN);
  ASSERT_TRUE(pump_to(1001));
  // End scrolled it left, Home back to where it starts.
  bool scrolled = false, back = false;
  for (auto& s : t.shots) {
    scrolled |= s.xsm < 0;
    back |= scrolled && s.xsm == 0 && s.clipped;
  }
  EXPECT_TRUE(scrolled);
  EXPECT_TRUE(back);
}

// The context menu runs its own loop inside the editor's: an element of the
// dialog gets the menu's ticks and clicks the item on the menu's window; then
// it queues the input that follows that menu (the editor's own loop sees no
// ticks, so everything after the last menu must be queued by then too).
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
    if (code != 387 || opened >= (int)steps.size() || THWND == shown) return 0;
    shown = THWND;
    step& s = steps[opened++];
    int y = s.item * 20 + (s.item == 4 ? 4 : 0) + 10;
    click(THWND, 60, y);
    if (s.then) s.then();
    return 0;
  }

 private:
  void* shown = nullptr;  // the menu window already clicked
};

void right_click(field& f, int i) {
  plat::inject_mouse_button(f.w.hwnd, f.at(i), 12, 3, true);
  plat::inject_mouse_button(f.w.hwnd, f.at(i), 12, 3, false);
}

TEST_F(Editing, TheContextMenuCutsCopiesPastesDeletesAndSelectsAll) {
  field f(padded("alpha beta").c_str());
  SDL_SetClipboardText("");
  {
    // Select all from the menu, then cut: the buffer is blank and the text
    // is on the clipboard.
    menu_picker picker({{4, [&] { right_click(f, 1); }}, {0, [&] { tap(f.w.hwnd, VK_RETURN); }}});
    f.rp.read(0);
    right_click(f, 1);
    f.finish();
    EXPECT_EQ(picker.opened, 2);
  }
  EXPECT_EQ(f.text(), padded(""));
  std::string clip;
  ASSERT_TRUE(plat::clipboard_get(clip));
  EXPECT_EQ(clip, padded("alpha beta"));

  {
    // Paste at the caret twice: the second one only as far as there is room.
    SDL_SetClipboardText("xyz");
    menu_picker picker({{2, [&] { right_click(f, 1); }}, {2, [&] { tap(f.w.hwnd, VK_RETURN); }}});
    f.rp.read(0);
    plat::inject_text(f.w.hwnd, "12345678901");
    tap(f.w.hwnd, VK_HOME);
    tap(f.w.hwnd, VK_RIGHT);
    right_click(f, 1);
    f.finish();
    EXPECT_EQ(picker.opened, 2);
  }
  EXPECT_EQ(f.text(), "1xyzxyz234567890");

  {
    // Copy a dragged selection, delete it, paste it back at the end.
    f.tp << padded("copy me").c_str();
    menu_picker picker({{1, [&] { right_click(f, 2); }},
                        {3,
                         [&] {
                           tap(f.w.hwnd, VK_END);
                           right_click(f, 1);
                         }},
                        {2, [&] { tap(f.w.hwnd, VK_RETURN); }}});
    f.rp.read(0);
    plat::inject_mouse_button(f.w.hwnd, f.at(0), 12, 1, true);
    plat::inject_mouse_move(f.w.hwnd, f.at(5), 12);
    plat::inject_mouse_button(f.w.hwnd, f.at(5), 12, 1, false);
    right_click(f, 2);
    f.finish();
    EXPECT_EQ(picker.opened, 3);
  }
  EXPECT_EQ(f.text(), padded("mecopy "));
  ASSERT_TRUE(plat::clipboard_get(clip));
  EXPECT_EQ(clip, "copy ");
}

TEST_F(Editing, WithoutASelectionCutCopyAndDeleteCannotBeChosen) {
  field f(padded("keep").c_str());
  SDL_SetClipboardText("old");
  {
    menu_picker picker({{0, [&] { right_click(f, 1); }},
                        {1, [&] { right_click(f, 1); }},
                        {3, [&] { tap(f.w.hwnd, VK_RETURN); }}});
    f.rp.read(0);
    right_click(f, 1);
    f.finish();
    EXPECT_EQ(picker.opened, 3);
  }
  EXPECT_EQ(f.text(), padded("keep"));
  std::string clip;
  ASSERT_TRUE(plat::clipboard_get(clip));
  EXPECT_EQ(clip, "old");
  {
    // In a password field a selection may be deleted but not copied out.
    f.tp.PASS_STR = true;
    menu_picker picker({{1, [&] { right_click(f, 1); }}, {0, [&] { tap(f.w.hwnd, VK_RETURN); }}});
    f.rp.read(-2);
    right_click(f, 1);
    f.finish();
    EXPECT_EQ(picker.opened, 2);
  }
  EXPECT_EQ(f.text(), padded("keep"));
  ASSERT_TRUE(plat::clipboard_get(clip));
  EXPECT_EQ(clip, "old");
}

TEST_F(Editing, BadInputNeverGrowsTheBuffer) {
  // Text with characters that have no cp1251 form, control characters and
  // far more than fits, typed and pasted.
  field f(std::string(8, ' ').c_str(), 60);
  f.rp.read(0);
  plat::inject_text(f.w.hwnd, "ab");
  // Straight UTF-8: an emoji and a CJK character are dropped, я is kept.
  for (const char* u : {"\xF0\x9F\x98\x80", "\xE4\xB8\xAD", "\xD1\x8F"}) {
    SDL_Event e;
    SDL_zero(e);
    e.type = SDL_TEXTINPUT;
    std::strncpy(e.text.text, u, sizeof e.text.text - 1);
    SDL_PushEvent(&e);
  }
  set_key(3, f.w.hwnd, 3, 0, WM_CHAR);  // Ctrl+C does nothing
  set_key(22, f.w.hwnd, 22, 0, WM_CHAR);  // nor does Ctrl+V
  tap(f.w.hwnd, VK_RETURN);
  f.finish();
  EXPECT_EQ(f.text(), std::string("abя") + std::string(5, ' '));

  // A paste of a long text with line ends and foreign characters: as much
  // as fits of what a field can hold.
  auto paste_once = [&](const char* clipboard) {
    SDL_SetClipboardText(clipboard);
    menu_picker picker({{2, [&] { tap(f.w.hwnd, VK_RETURN); }}});
    f.rp.read(0);
    right_click(f, 1);
    f.finish();
    EXPECT_EQ(picker.opened, 1);
  };
  paste_once("1\r\n2\t3\xF0\x9F\x98\x80" "4567890123456789");
  EXPECT_EQ(f.text(), "12345abя");
  // A clipboard without text inserts nothing.
  paste_once("");
  EXPECT_EQ(f.text(), "12345abя");
  EXPECT_EQ(std::strlen(f.tp.TXT), 8u);

  // An empty text has no room at all.
  ttext none(10, 30, "", 50);
  tread rn(&none, 1002);
  rn.read(-2);
  plat::inject_text(f.w.hwnd, "abc");
  tap(f.w.hwnd, VK_BACK);
  tap(f.w.hwnd, VK_DELETE);
  tap(f.w.hwnd, VK_END);
  tap(f.w.hwnd, VK_RETURN);
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
  EXPECT_EQ(rnum.LKEY, 13);
  EXPECT_EQ(num.TYPE, 1);
  EXPECT_DOUBLE_EQ(num.DIGIT, 91234.5);
  EXPECT_STREQ(num.TXT, "  91 234.5");
  // An edit that changes nothing keeps every decimal, even those the
  // edited form had no room for.
  rpi.read(0);
  tap(w.hwnd, VK_ESCAPE);
  ASSERT_TRUE(pump_to(1002));
  EXPECT_DOUBLE_EQ(pi.DIGIT, 3.14159265);
  // A decimal comma counts as a point.
  rpi.read(0);
  plat::inject_text(w.hwnd, "1,5");
  for (int i = 0; i < 6; i++) tap(w.hwnd, VK_DELETE);
  tap(w.hwnd, VK_RETURN);
  ASSERT_TRUE(pump_to(1002));
  EXPECT_DOUBLE_EQ(pi.DIGIT, 1.5);

  // A time is typed over a selection and read back.
  rtm.read(-2);
  plat::inject_text(w.hwnd, "8:05.07");
  tap(w.hwnd, VK_TAB);
  ASSERT_TRUE(pump_to(1003));
  EXPECT_EQ(rtm.LKEY, 9);
  EXPECT_EQ(tm.TYPE, 3);
  EXPECT_STREQ(tm.TXT, "08:05.07");

  // A date opens the calendar; its day 5 is chosen.
  rdt.read(0);
  set_key(805, nullptr, 0, 0, 0);
  ASSERT_TRUE(pump_to(1004));
  EXPECT_EQ(dt.TYPE, 2);
  EXPECT_STREQ(dt.TXT, "05-01-2023");
  EXPECT_EQ(THWND, w.hwnd);
}

}  // namespace
