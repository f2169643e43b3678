// Mouse regions and the combo field: an invisible rectangle that turns the
// mouse events inside it into its own code, and a one-line field with a
// drop-down arrow whose text and arrow both give the field's code.
#pragma once

#include "class/button.h"
#include "class/draw.h"
#include "class/sync.h"

// Event bits of a region's mask.
enum : unsigned {
  MOUSE_MOVE = 1,          // 400
  MOUSE_RDOWN = 2,         // 401
  MOUSE_RUP = 4,           // 402
  MOUSE_LDOWN = 8,         // 403
  MOUSE_LUP = 16,          // 404
  MOUSE_LDOUBLE = 32,      // 415, posted
  MOUSE_RDOUBLE = 64,      // 416, posted
  MOUSE_LEAVE = 128,       // 417, posted
  MOUSE_ALL = 4095,
};

class tmouse : public tobject {
 public:
  int KEY;
  unsigned MASK;
  // The last event seen: 400 to 404, 415 or 416 for a double click, 417
  // once the pointer is outside. A region starts as left, so one the
  // pointer never entered does not report leaving it.
  int EVENT;
  // Pointer position relative to the region's top-left corner at the last
  // event inside it.
  int MX, MY;
  ttimer TIM;  // runs for 0.4 s after a press
  int PRESS;   // the press that armed TIM (401 or 403), 0 for none

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
