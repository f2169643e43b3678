// Drawn buttons: a picture, a title on its own background and a frame, all
// registered parts of the button. A button reacts to the mouse only; when it
// fires, the pump returns the button's code in place of the mouse code.
#pragma once

#include "class/draw.h"

class tbut : public tobject {
 public:
  int KEY;
  char STATUS;  // 1 idle, 2 hovered, 3 pressed
  void (*FUN)();
  tcolor* TC;
  tfont* FONT;
  int XT;    // width of the picture: the title area starts this far right
  int IBMP;  // picture id; IBMP + 1 is the picture shown while disabled
  tborder* BRD;
  tbox* BOX;
  tbitmap* BMP;
  char* TITLE;
  unsigned FRM;  // alignment of the title

  // A picture (ibmp, 0 for none) and/or a title; frm is the frame style,
  // 5 for no frame at all. Without a title the button has the picture's size.
  tbut(int x, int y, int ibmp, const char* title, int len, int down, int key, void (*fun)() = nullptr,
       char frm = 2, tobject* parent = nullptr, tcolor* color = &cLGRAY);
  ~tbut() override;

  void show(bool redraw = true) override;
  void hide(bool redraw = true) override;
  void on() override;
  void off() override;
  void move(int dx, int dy) override;
  void _move(int dx, int dy) override;
  void paint(void* hdc) override;
  void update() override;
  int message(int code) override;

  tbut& operator<<(const char* title);
  tbut& operator<<(int ibmp);
  void color(tcolor* color);

 protected:
  // The frame style of an idle button after it was pressed or disabled.
  void disable(char idle_frame);
  // Repaints the title background (it erases the title and the frame's rings
  // over it).
  void repaint_box();
  // Draws the picture at the button's place, or one pixel down-right and one
  // pixel smaller while pressed. The picture cell is cleared first: pictures
  // have transparent parts, and what was drawn before must not show through.
  void place_picture(bool pressed);
  void set_frame(char type);
  void press();
  void release_look();
  int fire();

 private:
  tcolor* face;  // the colour the button was made on: fills the picture cell
};

// The main window's command buttons: frame 3 while pressed and 2 after.
class tbutton : public tbut {
 public:
  using tbut::tbut;
};

// Dialog buttons: no frame while idle, a raised one while hovered, a sunken
// one while pressed.
class thbutton : public tbut {
 public:
  using tbut::tbut;
  void off() override;
  int message(int code) override;
};

// Scroll-bar arrows: fire at the press and, after a pause of four ticks, on
// every tick while held.
class tsbutton : public tbut {
 public:
  int TIM;  // ticks left before the repeat starts
  tsbutton(int x, int y, int ibmp, const char* title, int len, int down, int key, void (*fun)() = nullptr,
           char frm = 2, tobject* parent = nullptr, tcolor* color = &cLGRAY);
  int message(int code) override;
};

// Flat text items: no frame, the background turns dark blue under the pointer.
class ttbutton : public tbut {
 public:
  using tbut::tbut;
  void off() override;
  void paint(void* hdc) override;
  int message(int code) override;
};

// Column headers of the grid: a titled button 18 pixels high with a raised
// thick frame on the light grey face.
class theaderbutton : public tbut {
 public:
  using tbut::tbut;
  theaderbutton(int x, int y, const char* title, int len, int key, tobject* parent = nullptr);
};
