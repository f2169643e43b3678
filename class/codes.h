// The fixed command codes of the event pump: what getkey returns for a key,
// a click, the tick or a window event before any control has turned it into
// a code of its own. The values are part of the toolkit's contract (the
// application switches on them, controls give them as their own codes, and
// scripts and tests post them), so they never change; only their names live
// here. A control's own code is chosen by whoever makes it and is not listed.
#pragma once

// ---- typed characters ------------------------------------------------------
// A typed character is its own code (cp1251, 1 to 255). The keys below reach
// the pump as characters too, so an Ok button given KEY_ENTER and a Cancel
// button given KEY_ESC are indistinguishable from the keys themselves: a
// dialog's loop needs one case for the key and the button.
constexpr int KEY_BACKSPACE = 8;
constexpr int KEY_TAB = 9;
constexpr int KEY_ENTER = 13;
constexpr int KEY_ESC = 27;
// Ctrl+letter is the letter's place in the alphabet (Ctrl+A is 1), taken from
// the physical key, so it is the same on every layout.
constexpr int KEY_CTRL_V = 22;

// ---- function keys ---------------------------------------------------------
// F1 to F12 in a row from 256, past every character; a key's number is
// KEY_F1 + n - 1. The main window gives its buttons KEY_F1 to KEY_F4, so the
// keys work as their shortcuts without any key table.
constexpr int KEY_F1 = 256;
constexpr int KEY_F2 = 257;
constexpr int KEY_F3 = 258;
constexpr int KEY_F4 = 259;
constexpr int KEY_F5 = 260;
constexpr int KEY_F6 = 261;
constexpr int KEY_F7 = 262;
constexpr int KEY_F8 = 263;
constexpr int KEY_F9 = 264;
constexpr int KEY_F10 = 265;
constexpr int KEY_F11 = 266;
constexpr int KEY_F12 = 267;

// ---- navigation keys -------------------------------------------------------
// In the order of the virtual keys they come from (Page Up to Down, then
// Insert and Delete), so the window procedure maps each block by offset. The
// keypad gives the same codes while NumLock is off.
constexpr int KEY_PAGE_UP = 272;
constexpr int KEY_PAGE_DOWN = 273;
constexpr int KEY_END = 274;
constexpr int KEY_HOME = 275;
constexpr int KEY_LEFT = 276;
constexpr int KEY_UP = 277;
constexpr int KEY_RIGHT = 278;
constexpr int KEY_DOWN = 279;
constexpr int KEY_INSERT = 280;
constexpr int KEY_DELETE = 281;

// ---- window and pump events -------------------------------------------------
// The close box, the end of the session and a pump that can read no more
// all read as close: every dialog loop already ends on it, and the window
// stays open until its owner destroys it.
constexpr int CMD_CLOSE = 384;
// The line editor ended because the left button went down outside the field;
// the press itself is put back at the front of the ring for whatever was
// clicked, so the caller only has to stop editing.
constexpr int CMD_PRESS_OUTSIDE = 386;
// The 100 ms timer of the first window, and every press or release of Shift
// or Ctrl. Every enabled element sees it whatever window it belongs to, so
// dialogs below the newest one can still count time and drop stale state.
constexpr int CMD_TICK = 387;
constexpr int CMD_RESIZED = 388;
// The minimise still happens; the code only tells the loop.
constexpr int CMD_MINIMIZED = 390;
constexpr int CMD_FOCUS_GAINED = 391;
// Only the current window's loss counts: a pop-up list closes on it.
constexpr int CMD_FOCUS_LOST = 392;
// Nothing of ours produces it; the line editor still ends an edit on it, so
// a program that posts it can end one from outside.
constexpr int CMD_RESERVED_393 = 393;
constexpr int CMD_END_REFUSED = 419;  // a request to end the session was refused
// Characters that no keyboard types (cp1251 ends at 255): a program that
// posts them switches the refusal of the end of the session on and off, and
// they are queued like any character.
constexpr int CMD_ENABLE_REBOOT = 420;
constexpr int CMD_DISABLE_REBOOT = 421;
constexpr int CMD_MESSAGE_977 = 427;  // window message 977 arrived
constexpr int CMD_RESUMED = 428;      // the system came back from suspend
// Queued after every paint, so a loop that asked for a repaint can pump
// until the window really shows what it drew.
constexpr int CMD_REPAINT = 431;

// ---- tray icon ---------------------------------------------------------------
constexpr int CMD_TRAY_RDOWN = 394;  // right press or double click
constexpr int CMD_TRAY_RUP = 395;
constexpr int CMD_TRAY_LDOWN = 396;  // left press or double click
constexpr int CMD_TRAY_LUP = 397;
constexpr int CMD_TRAY_MOVE = 398;

// ---- mouse -------------------------------------------------------------------
// The pump reads the pointer's position and manages the capture only when it
// takes one of CMD_MOUSE_MOVE to CMD_MOUSE_LUP from the ring, so the five stay
// one block, and mouse handlers test for the block rather than each code.
constexpr int CMD_MOUSE_MOVE = 400;
constexpr int CMD_MOUSE_RDOWN = 401;
constexpr int CMD_MOUSE_RUP = 402;
constexpr int CMD_MOUSE_LDOWN = 403;
constexpr int CMD_MOUSE_LUP = 404;
// Double clicks are a mouse region's own finding, posted with the region's
// code and these in the long parameter; the pump never produces them.
constexpr int CMD_MOUSE_LDOUBLE = 415;
constexpr int CMD_MOUSE_RDOUBLE = 416;
// The pointer left the current window's client area (or reached its
// bottom-right corner) and the capture was let go: whatever was pressed or
// highlighted should let go too.
constexpr int CMD_POINTER_LEFT = 417;
// The wheel: away from the user, towards the user. One code however many
// steps it turned; the entry's wparam, read as int, is the signed count.
constexpr int CMD_WHEEL_UP = 422;
constexpr int CMD_WHEEL_DOWN = 423;
