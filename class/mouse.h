// Mouse regions and the combo field: an invisible rectangle that turns the
// mouse events inside it into its own code, and a one-line field with a
// drop-down arrow whose text and arrow both give the field's code.
#pragma once

#include "class/button.h"
#include "class/draw.h"
#include "class/sync.h"

// Event bits of a region's mask. The first five are the pump's mouse codes
// in order (bit n is CMD_MOUSE_MOVE + n), so a code is tested by shifting.
enum : unsigned {
  MOUSE_MOVE = 1,          // CMD_MOUSE_MOVE
  MOUSE_RDOWN = 2,         // CMD_MOUSE_RDOWN
  MOUSE_RUP = 4,           // CMD_MOUSE_RUP
  MOUSE_LDOWN = 8,         // CMD_MOUSE_LDOWN
  MOUSE_LUP = 16,          // CMD_MOUSE_LUP
  MOUSE_LDOUBLE = 32,      // CMD_MOUSE_LDOUBLE, posted
  MOUSE_RDOUBLE = 64,      // CMD_MOUSE_RDOUBLE, posted
  MOUSE_LEAVE = 128,       // CMD_POINTER_LEFT, posted
  MOUSE_ALL = 4095,
};

class tmouse : public tobject {
 public:
  int KEY;
  unsigned MASK;
  // The last event seen: CMD_MOUSE_MOVE to CMD_MOUSE_LUP, CMD_MOUSE_LDOUBLE
  // or CMD_MOUSE_RDOUBLE for a double click, CMD_POINTER_LEFT once the
  // pointer is outside. A region starts as left, so one the
  // pointer never entered does not report leaving it.
  int EVENT;
  // Pointer position relative to the region's top-left corner at the last
  // event inside it.
  int MX, MY;
  ttimer TIM;  // runs for 0.4 s after a press
  int PRESS;   // the press that armed TIM (CMD_MOUSE_RDOWN or CMD_MOUSE_LDOWN), 0 for none

  tmouse(int x, int y, int len, int down, int code, unsigned mask = MOUSE_ALL);
  ~tmouse() override;
  int message(int code) override;
};

class tcbox : public tobject {
 public:
  int KEY;
  ttext* TXT;
  tmouse* MOUSE;
  tbutton* BUT;
  tborder* BRD;

  // width is the text's; the arrow (14 x 14) follows it.
  tcbox(int x, int y, const char* text, int width, int code);
  ~tcbox() override;

  tcbox& operator<<(const char* text);
  tcbox& operator<<(double value);
  tcbox& operator<<(tdate date);
  tcbox& operator<<(ttime time);
  char* text();
  double digit();
  tdate date();
  ttime time();

  void show(bool redraw = true) override;
  void hide(bool redraw = true) override;
  void on() override;
  void off() override;
  void move(int dx, int dy) override;
  void _move(int dx, int dy) override;
  void update() override;
};
