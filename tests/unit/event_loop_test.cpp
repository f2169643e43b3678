// The window stack, the event ring and the pump, driven through the real
// SDL translation on the dummy video driver.
//
// Where a test checks what a key, a click, the close box, the timer or a
// paint turns into, the code stands as its number: the numbers are what the
// application's loops and every posted code rely on, so a name given another
// value must fail here rather than pass along with it.
#include <SDL_keycode.h>

#include <csignal>

#include "tests/unit/toolkit.h"

namespace {

class EventLoop : public ToolkitTest {};

TEST_F(EventLoop, KeysBecomeTheirCodes) {
  twindow w(200, 100, "keys");
  struct {
    int vk, code;
  } keys[] = {{VK_F1, 256}, {VK_F1 + 11, 267}, {VK_PRIOR, 272}, {VK_NEXT, 273}, {VK_END, 274},
              {VK_HOME, 275}, {VK_LEFT, 276},   {VK_UP, 277},    {VK_RIGHT, 278}, {VK_DOWN, 279},
              {VK_INSERT, 280}, {VK_DELETE, 281}, {VK_RETURN, 13}, {VK_ESCAPE, 27}, {VK_BACK, 8},
              {VK_TAB, 9}};
  for (auto k : keys) {
    plat::inject_key(w.hwnd, k.vk, true);
    plat::inject_key(w.hwnd, k.vk, false);
    std::vector<int> seen;
    EXPECT_TRUE(pump_until(k.code, 1000, &seen)) << "virtual key " << k.vk;
    EXPECT_EQ(without_noise(seen), std::vector<int>{k.code}) << "virtual key " << k.vk;
  }
  // Typed text arrives as cp1251 codes.
  plat::inject_text(w.hwnd, "aЖ");
  std::vector<int> seen = without_noise(pump_for(300));
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0], 'a');
  EXPECT_EQ(seen[1], 0xC6);
}

TEST_F(EventLoop, ShiftAndCtrlTickAndCtrlLetterIsAControlCode) {
  twindow w(200, 100, "mods");
  pump_for(50);
  plat::inject_key(w.hwnd, VK_SHIFT, true);
  ASSERT_TRUE(pump_until(CMD_TICK));
  EXPECT_TRUE(SHIFT_BUTTON);
  plat::inject_key(w.hwnd, VK_SHIFT, false);
  std::vector<int> seen = pump_for(150);
  EXPECT_FALSE(SHIFT_BUTTON);
  EXPECT_TRUE(without_noise(seen).empty()) << "Shift alone must not type anything";

  plat::inject_key(w.hwnd, VK_CONTROL, true);
  plat::inject_key(w.hwnd, 'C', true);
  plat::inject_key(w.hwnd, 'C', false);
  std::vector<int> ctrl;
  ASSERT_TRUE(pump_until(3, 1000, &ctrl));
  EXPECT_TRUE(CONTROL_BUTTON);
  EXPECT_GE(count_of(ctrl, CMD_TICK), 1);
  plat::inject_key(w.hwnd, VK_CONTROL, false);
  pump_for(100);
  EXPECT_FALSE(CONTROL_BUTTON);
}

// A key on the Russian layout: the physical key, and the Cyrillic letter
// the layout puts on it as its keycode.
void ru_key(void* hwnd, SDL_Scancode sc, unsigned letter, unsigned mod, bool down) {
  plat::inject_key_event(hwnd, sc, (int)letter, mod, down);
}

TEST_F(EventLoop, CtrlLetterOnTheRussianLayoutIsItsControlCode) {
  twindow w(200, 100, "ru");
  pump_for(50);
  // Ctrl+С, Ctrl+М, Ctrl+Ч, Ctrl+Ф (the keys C, V, X, A): the layout also
  // hands over the letter as typed text, as X11 does.
  struct {
    SDL_Scancode sc;
    unsigned letter;
    const char* utf8;
    int code;
  } keys[] = {{SDL_SCANCODE_C, 0x441, "\xD1\x81", 3},
              {SDL_SCANCODE_V, 0x43C, "\xD0\xBC", 22},
              {SDL_SCANCODE_X, 0x447, "\xD1\x87", 24},
              {SDL_SCANCODE_A, 0x444, "\xD1\x84", 1}};
  plat::inject_key_event(w.hwnd, SDL_SCANCODE_LCTRL, SDLK_LCTRL, KMOD_LCTRL, true);
  for (auto k : keys) {
    ru_key(w.hwnd, k.sc, k.letter, KMOD_LCTRL, true);
    plat::inject_text_utf8(w.hwnd, k.utf8);
    ru_key(w.hwnd, k.sc, k.letter, KMOD_LCTRL, false);
  }
  plat::inject_key_event(w.hwnd, SDL_SCANCODE_LCTRL, SDLK_LCTRL, KMOD_NONE, false);
  std::vector<int> seen = without_noise(pump_for(300));
  EXPECT_EQ(seen, (std::vector<int>{3, 22, 24, 1})) << "no Cyrillic letter may be typed with Ctrl held";

  // Without Ctrl the key types its letter, once.
  ru_key(w.hwnd, SDL_SCANCODE_C, 0x441, KMOD_NONE, true);
  plat::inject_text_utf8(w.hwnd, "\xD1\x81");
  ru_key(w.hwnd, SDL_SCANCODE_C, 0x441, KMOD_NONE, false);
  seen = without_noise(pump_for(200));
  EXPECT_EQ(seen, std::vector<int>{(unsigned char)'с'});

  // AltGr with Ctrl types the layout's character and is no command.
  plat::inject_key_event(w.hwnd, SDL_SCANCODE_LCTRL, SDLK_LCTRL, KMOD_LCTRL, true);
  plat::inject_key_event(w.hwnd, SDL_SCANCODE_RALT, SDLK_RALT, KMOD_LCTRL | KMOD_RALT, true);
  ru_key(w.hwnd, SDL_SCANCODE_E, 0x443, KMOD_LCTRL | KMOD_RALT, true);
  plat::inject_text_utf8(w.hwnd, "\xE2\x82\xAC");  // the euro sign
  ru_key(w.hwnd, SDL_SCANCODE_E, 0x443, KMOD_LCTRL | KMOD_RALT, false);
  plat::inject_key_event(w.hwnd, SDL_SCANCODE_RALT, SDLK_RALT, KMOD_LCTRL, false);
  plat::inject_key_event(w.hwnd, SDL_SCANCODE_LCTRL, SDLK_LCTRL, KMOD_NONE, false);
  seen = without_noise(pump_for(200));
  EXPECT_EQ(seen, std::vector<int>{0x88});
}

TEST_F(EventLoop, KeypadWithoutNumLockNavigates) {
  twindow w(200, 100, "keypad");
  pump_for(50);
  struct {
    SDL_Scancode sc;
    SDL_Keycode sym;
    int code;
  } keys[] = {{SDL_SCANCODE_KP_7, SDLK_KP_7, KEY_HOME},       {SDL_SCANCODE_KP_1, SDLK_KP_1, KEY_END},
              {SDL_SCANCODE_KP_8, SDLK_KP_8, KEY_UP},         {SDL_SCANCODE_KP_2, SDLK_KP_2, KEY_DOWN},
              {SDL_SCANCODE_KP_4, SDLK_KP_4, KEY_LEFT},       {SDL_SCANCODE_KP_6, SDLK_KP_6, KEY_RIGHT},
              {SDL_SCANCODE_KP_9, SDLK_KP_9, KEY_PAGE_UP},    {SDL_SCANCODE_KP_3, SDLK_KP_3, KEY_PAGE_DOWN},
              {SDL_SCANCODE_KP_0, SDLK_KP_0, KEY_INSERT},     {SDL_SCANCODE_KP_PERIOD, SDLK_KP_PERIOD, KEY_DELETE},
              {SDL_SCANCODE_KP_7, SDLK_HOME, KEY_HOME}};
  for (auto k : keys) {
    plat::inject_key_event(w.hwnd, k.sc, k.sym, KMOD_NONE, true);
    plat::inject_key_event(w.hwnd, k.sc, k.sym, KMOD_NONE, false);
  }
  std::vector<int> seen = without_noise(pump_for(300));
  EXPECT_EQ(seen, (std::vector<int>{KEY_HOME, KEY_END, KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT, KEY_PAGE_UP,
                                    KEY_PAGE_DOWN, KEY_INSERT, KEY_DELETE, KEY_HOME}));

  // With NumLock on the key types its digit and navigates nowhere.
  for (SDL_Keycode sym : {SDLK_KP_7, SDLK_HOME}) {
    plat::inject_key_event(w.hwnd, SDL_SCANCODE_KP_7, sym, KMOD_NUM, true);
    plat::inject_text_utf8(w.hwnd, "7");
    plat::inject_key_event(w.hwnd, SDL_SCANCODE_KP_7, sym, KMOD_NUM, false);
  }
  seen = without_noise(pump_for(200));
  EXPECT_EQ(seen, (std::vector<int>{'7', '7'}));
}

TEST_F(EventLoop, MouseCodesCarryClientCoordinates) {
  twindow w(300, 200, "mouse");
  pump_for(50);
  plat::inject_mouse_move(w.hwnd, 20, 30);
  ASSERT_TRUE(pump_until(400));
  EXPECT_EQ(MOUSE_X, 20);
  EXPECT_EQ(MOUSE_Y, 30);
  plat::inject_mouse_button(w.hwnd, 31, 41, 1, true);
  ASSERT_TRUE(pump_until(403));
  EXPECT_EQ(MOUSE_X, 31);
  EXPECT_EQ(MOUSE_Y, 41);
  EXPECT_TRUE(MOUSE_LBUTTON);
  plat::inject_mouse_button(w.hwnd, 32, 42, 1, false);
  ASSERT_TRUE(pump_until(404));
  EXPECT_FALSE(MOUSE_LBUTTON);
  plat::inject_mouse_button(w.hwnd, 10, 10, 3, true);
  ASSERT_TRUE(pump_until(401));
  EXPECT_TRUE(MOUSE_RBUTTON);
  plat::inject_mouse_button(w.hwnd, 10, 10, 3, false);
  ASSERT_TRUE(pump_until(402));
  plat::inject_wheel(w.hwnd, 1);
  ASSERT_TRUE(pump_until(422));
  plat::inject_wheel(w.hwnd, -1);
  ASSERT_TRUE(pump_until(423));
}

TEST_F(EventLoop, OneTurnOfTheWheelIsOneCodeWithItsSignedStepCount) {
  twindow w(300, 200, "wheel");
  pump_for(50);
  plat::inject_wheel(w.hwnd, 3);
  std::vector<int> seen;
  ASSERT_TRUE(pump_until(422, 1000, &seen));
  EXPECT_EQ((int)_WPARAM, 3);
  plat::inject_wheel(w.hwnd, -2);
  ASSERT_TRUE(pump_until(423, 1000, &seen));
  EXPECT_EQ((int)_WPARAM, -2);
  for (int c : pump_for(100)) seen.push_back(c);
  EXPECT_EQ(count_of(seen, 422), 1) << "three steps are still one code: a list scrolls by its own measure";
  EXPECT_EQ(count_of(seen, 423), 1);
}

// Whatever is posted by number, by other programs or the system, and has no
// SDL event behind it. The messages and parameters stand as numbers too:
// posters know them by number, not by our names.
TEST_F(EventLoop, PostedMessagesQueueTheCodesTheirSendersRelyOn) {
  twindow w(200, 100, "posted");
  pump_for(50);
  while (get_key()) {
  }
  struct {
    unsigned msg;
    unsigned long wparam;
    long lparam;
    std::vector<int> codes;
  } posted[] = {
      {0x0113, 1, 0, {387}},                // timer
      {0x0005, 0, (50 << 16) | 80, {388}},  // size
      {0x0112, 0xF020, 0, {390}},           // minimise
      {0x0111, 1234, 0, {1234}},            // command
      {0x0312, 77, 0, {77}},                // hot key
      {0x0100, 'A', 1, {}},                 // a letter's key: it comes as a character
      {977, 0, 0, {427}},                   // only its arrival counts
      {1124, 0, 512, {398}},                // the tray icon, its mouse message in lparam
      {1124, 0, 513, {396}},
      {1124, 0, 514, {397}},
      {1124, 0, 515, {396}},
      {1124, 0, 516, {394}},
      {1124, 0, 517, {395}},
      {1124, 0, 518, {394}},
      {1124, 0, 519, {}},
      {0x0218, 7, 0, {428}},                // power: resumed from suspend
      {0x0218, 4, 0, {}},                   // power: suspending
      {0x0218, 10, 0, {}},
      {0x0102, 421, 0, {421}},              // characters no keyboard types: they switch
      {0x0102, 420, 0, {420}},              // the refusal of the end of the session
  };
  for (auto& m : posted) {
    plat::send_message(w.hwnd, m.msg, m.wparam, m.lparam);
    std::vector<int> queued;
    while (int code = get_key()) queued.push_back(code);
    EXPECT_EQ(queued, m.codes) << "message " << m.msg << ", wparam " << m.wparam << ", lparam " << m.lparam;
    if (m.msg == 0x0102) {
      EXPECT_EQ(DISABLE_REBOOT, m.wparam == 421);
    }
  }
}

// What the window procedure answers, and the hooks it calls, where a message
// queues nothing.
TEST_F(EventLoop, MessagesWithoutACodeAnswerOrCallTheirHook) {
  twindow w(200, 100, "hooks");
  probe p(0, 0, 10, 10);
  static int suspended;
  static void *data, *sender;
  suspended = 0;
  __SUSPEND = [] { suspended++; };
  __COPY_DATA_FUNC = [](void* d, void* s) {
    data = d;
    sender = s;
  };
  EXPECT_EQ(plat::send_message(w.hwnd, 0x0218, 4, 0), 0);
  EXPECT_EQ(suspended, 1);
  int payload, from;
  plat::send_message(w.hwnd, 0x004A, (unsigned long)&from, (long)&payload);
  EXPECT_EQ(data, &payload);
  EXPECT_EQ(sender, &from);

  // The minimum size holds whatever size is proposed.
  CUR_MIN_LEN = 300;
  CUR_MIN_DOWN = 150;
  plat::windowpos proposed = {w.hwnd, 0, 0, 100, 400};
  plat::send_message(w.hwnd, 0x0046, 0, (long)&proposed);
  EXPECT_EQ(proposed.cx, 300);
  EXPECT_EQ(proposed.cy, 400);

  // The client area's cursor is ours (hit-test 1 in the low word); the rest
  // is left to the platform.
  EXPECT_EQ(plat::send_message(w.hwnd, 0x0020, (unsigned long)w.hwnd, (0x0200 << 16) | 1), 0);
  EXPECT_EQ(plat::send_message(w.hwnd, 0x0020, (unsigned long)w.hwnd, (0x0200 << 16) | 2), 1);

  // A menu selection is dispatched at once, the item from wparam's low word.
  while (get_key()) {
  }
  p.got.clear();
  plat::send_message(w.hwnd, 0x011F, (0x8000ul << 16) | 1234, 0);
  EXPECT_EQ(p.got, std::vector<int>{1234});
  EXPECT_EQ(_MESSAGE, 287u);
  EXPECT_EQ(get_key(), 0) << "and not queued";
}

TEST_F(EventLoop, PopupClientCoordinatesExcludeTheFrameWeDraw) {
  twindow w(120, 80, (char)0);
  pump_for(50);
  plat::inject_mouse_button(w.hwnd, 10, 12, 1, true);
  ASSERT_TRUE(pump_until(CMD_MOUSE_LDOWN));
  EXPECT_EQ(MOUSE_X, 10);
  EXPECT_EQ(MOUSE_Y, 12);
  // The frame is drawn around the client area, not inside it.
  EXPECT_EQ(plat::get_pixel(w.hwnd, 0, 0), cLGRAY.COLOR);
}

TEST_F(EventLoop, PointerLeavingTheClientAreaGivesUpTheCapture) {
  twindow w(300, 200, "capture");
  pump_for(50);
  plat::inject_mouse_move(w.hwnd, 50, 50);
  ASSERT_TRUE(pump_until(400));
  EXPECT_EQ(plat::get_capture(), w.hwnd);
  // The bottom-right corner counts as outside.
  plat::inject_mouse_move(w.hwnd, 295, 195);
  std::vector<int> seen;
  ASSERT_TRUE(pump_until(417, 1000, &seen));
  EXPECT_EQ(plat::get_capture(), nullptr);
  // The next event in the client area takes it back.
  plat::inject_mouse_move(w.hwnd, 50, 50);
  ASSERT_TRUE(pump_until(400));
  EXPECT_EQ(plat::get_capture(), w.hwnd);
}

TEST_F(EventLoop, CloseBoxReturns384OnceAndTheWindowStays) {
  twindow w(200, 100, "close");
  pump_for(50);
  plat::inject_close(w.hwnd);
  std::vector<int> seen = pump_for(400);
  EXPECT_EQ(count_of(seen, 384), 1);
  EXPECT_TRUE(plat::is_window(w.hwnd));
  EXPECT_EQ(THWND, w.hwnd);
}

TEST_F(EventLoop, TopLevelTimerTicksTenTimesASecond) {
  twindow w(200, 100, "tick");
  std::vector<int> seen = pump_for(1050);
  int ticks = count_of(seen, 387);
  EXPECT_GE(ticks, 8);
  EXPECT_LE(ticks, 12);
}

TEST_F(EventLoop, DispatchReplacesCodesInRegistrationOrder) {
  twindow w(200, 100, "dispatch");
  probe first(0, 0, 10, 10), second(0, 0, 10, 10), third(0, 0, 10, 10);
  first.on_code = CMD_MOUSE_LDOWN;
  first.answer = 999;
  second.on_code = 999;
  second.answer = 1001;
  plat::inject_mouse_button(w.hwnd, 50, 50, 1, true);
  std::vector<int> seen;
  ASSERT_TRUE(pump_until(1001, 1000, &seen));
  EXPECT_EQ(count_of(seen, CMD_MOUSE_LDOWN), 0) << "the raw code must be hidden by the first element's";
  EXPECT_EQ(count_of(first.got, CMD_MOUSE_LDOWN), 1);
  EXPECT_EQ(count_of(second.got, 999), 1);
  EXPECT_EQ(count_of(second.got, CMD_MOUSE_LDOWN), 0);
  EXPECT_EQ(count_of(third.got, 1001), 1);

  // Hidden and disabled elements hear nothing, not even the tick.
  second.hide(false);
  third.off();
  second.got.clear();
  third.got.clear();
  pump_for(250);
  EXPECT_TRUE(second.got.empty());
  EXPECT_TRUE(third.got.empty());
}

TEST_F(EventLoop, OnlyTheNewestWindowIsLiveButTheTickReachesAll) {
  twindow main_window(300, 200, "main");
  probe below(0, 0, 300, 200);
  probe listener(0, 0, 1, 1);
  listener.ALL_MESSAGE = true;
  void* main_dc = THDC;
  int main_caption = TYCAPTION;
  CUR_MIN_LEN = 500;
  CUR_MIN_DOWN = 300;
  {
    twindow dialog(120, 60, (char)0);
    EXPECT_EQ(CUR_MIN_LEN, 0) << "a new window starts without minimum size";
    EXPECT_EQ(TYCAPTION, 0);
    CUR_MIN_LEN = 77;
    probe on_top(0, 0, 120, 60);
    pump_for(50);
    below.got.clear();
    // Clicks on the window below: the first one reaches the dialog, which
    // holds the capture, as a click outside it; then the capture is gone.
    for (int i = 0; i < 2; i++) {
      plat::inject_mouse_button(main_window.hwnd, 20, 20, 1, true);
      plat::inject_mouse_button(main_window.hwnd, 20, 20, 1, false);
    }
    plat::inject_focus(main_window.hwnd, true);
    std::vector<int> seen = pump_for(400);
    EXPECT_EQ(count_of(below.got, CMD_MOUSE_LDOWN) + count_of(below.got, CMD_MOUSE_LUP), 0);
    EXPECT_GE(count_of(below.got, CMD_TICK), 1) << "the tick reaches every window's elements";
    EXPECT_GE(count_of(listener.got, CMD_MOUSE_LDOWN), 1) << "ALL_MESSAGE hears every window";
    EXPECT_GE(count_of(seen, CMD_POINTER_LEFT), 1);
    EXPECT_EQ(plat::get_focus(), dialog.hwnd) << "focus goes back to the dialog";
  }
  EXPECT_EQ(THWND, main_window.hwnd);
  EXPECT_EQ(THDC, main_dc);
  EXPECT_EQ(TYCAPTION, main_caption);
  EXPECT_EQ(CUR_MIN_LEN, 500);
  EXPECT_EQ(CUR_MIN_DOWN, 300);
  EXPECT_EQ(plat::get_capture(), main_window.hwnd);
  plat::inject_mouse_button(main_window.hwnd, 20, 20, 1, true);
  pump_until(CMD_MOUSE_LDOWN);
  EXPECT_EQ(count_of(below.got, CMD_MOUSE_LDOWN), 1) << "the window below is live again";
}

TEST_F(EventLoop, NegativeGeometryCountsFromTheRightEdge) {
  twindow w(399, 100, "anchors");
  probe p(-185, -30, -5, -10);
  EXPECT_EQ(window_len(w.hwnd), 400);
  EXPECT_EQ(p.x(), 215);
  EXPECT_EQ(p.x() + p.len(), 395);
  EXPECT_EQ(p.y(), 71);
  EXPECT_EQ(p.y() + p.down(), 91);
  p.move(3, 4);
  p._move(1, 1);
  EXPECT_EQ(p.x(), 219);
  EXPECT_EQ(p.y(), 76);
  // Anchored elements follow a resized window.
  w.size(499, 100);
  EXPECT_EQ(p.x(), 315 + 4);
}

TEST_F(EventLoop, SessionEndTurnsEveryReadInto384) {
  twindow w(200, 100, "session");
  plat::install_session_signals();
  raise(SIGTERM);
  ASSERT_TRUE(pump_until(384, 2000));
  EXPECT_TRUE(END_SESSION);
  for (int i = 0; i < 5; i++) EXPECT_EQ(getkey(), 384);
}

TEST_F(EventLoop, RefusedSessionEndQueues419) {
  twindow w(200, 100, "refuse");
  disable_reboot();
  EXPECT_EQ(plat::send_message(w.hwnd, WM_QUERYENDSESSION, 0, 0), 0);
  EXPECT_FALSE(END_SESSION);
  EXPECT_TRUE(pump_until(419, 500));
  enable_reboot();
  static bool hook_called;
  __END_SESSION = [] { hook_called = true; };
  EXPECT_EQ(plat::send_message(w.hwnd, WM_QUERYENDSESSION, 0, 0), 1);
  plat::send_message(w.hwnd, WM_ENDSESSION, 1, 0);
  EXPECT_TRUE(hook_called);
  EXPECT_EQ(getkey(), 384);
}

TEST_F(EventLoop, FullRingKeepsWhatIsPendingAndDropsTheNewcomer) {
  for (int i = 0; i < 300; i++) set_key(1000 + i, nullptr, 0, 0, 0);
  for (int i = 0; i < KEY_RING - 1; i++) ASSERT_EQ(get_key(), 1000 + i);
  EXPECT_EQ(get_key(), 0);
  // Still a working ring afterwards.
  set_key(7, nullptr, 0, 0, 0);
  EXPECT_EQ(get_key(), 7);
}

TEST_F(EventLoop, ADestroyedWindowTakesItsPendingEventsWithIt) {
  twindow main_window(300, 200, "main");
  pump_for(50);
  set_key(1001, nullptr, 0, 0, 0);
  plat::send_message(main_window.hwnd, WM_CHAR, 'a', 1);
  {
    twindow dialog(120, 60, (char)0);
    // Enter and a click arrive just as the dialog is closed.
    plat::send_message(dialog.hwnd, WM_CHAR, KEY_ENTER, 1);
    plat::send_message(dialog.hwnd, WM_LBUTTONDOWN, MK_LBUTTON, (10 << 16) | 10);
    set_key(1002, nullptr, 0, 0, 0);
  }
  // The next dialog (quite likely at the same address) must hear none of it.
  twindow next(120, 60, (char)0);
  probe p(0, 0, 120, 60);
  std::vector<int> seen = without_noise(pump_for(200));
  EXPECT_EQ(seen, (std::vector<int>{1001, 'a', 1002})) << "the others' entries stay, in order";
  EXPECT_EQ(count_of(p.got, KEY_ENTER) + count_of(p.got, CMD_MOUSE_LDOWN), 0);
}

TEST_F(EventLoop, ALateTimerFiresOnceNotOncePerMissedPeriod) {
  twindow w(200, 100, "late");
  pump_for(150);
  // A device operation blocks the pump for a second and a half.
  plat::sleep_ms(1500);
  std::vector<int> seen = pump_for(50);
  EXPECT_GE(count_of(seen, CMD_TICK), 1) << "the overdue tick comes at once";
  EXPECT_LE(count_of(seen, CMD_TICK), 2) << "not fifteen of them";
}

TEST_F(EventLoop, PaintDrawsElementsInCreationOrderThenQueues431) {
  static std::vector<int> order;
  struct painter : probe {
    int id;
    painter(int i) : probe(0, 0, 5, 5), id(i) {}
    void paint(void*) override { order.push_back(id); }
  };
  twindow w(200, 100, "paint");
  painter a(1), b(2);
  pump_for(50);
  order.clear();
  plat::invalidate(w.hwnd, nullptr, true);
  ASSERT_TRUE(pump_until(431));
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  // A hidden element is not painted; hiding asks for a repaint of its area.
  order.clear();
  a.hide(true);
  ASSERT_TRUE(pump_until(431));
  EXPECT_EQ(order, std::vector<int>{2});
}

TEST_F(EventLoop, WindowsCentreOverTheCurrentOneAndNestInTheirOwnTimer) {
  twindow main_window(400, 300, "main");
  twindow dialog(100, 50, "child");
  int cx = window_x(main_window.hwnd) + window_len(main_window.hwnd) / 2 - 50;
  EXPECT_EQ(window_x(dialog.hwnd), cx);
  EXPECT_EQ(window_len(dialog.hwnd), 101);
  EXPECT_EQ(window_down(dialog.hwnd), 51);
}

}  // namespace
