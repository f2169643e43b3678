// The drawn check box: a 14 x 14 picture and a title; the whole element is
// the hit area, a left click toggles it.
#pragma once

#include "class/draw.h"

class tcheck : public tobject {
 public:
  int STATUS;  // 0 unchecked, 1 checked, anything else the third state
  int PR;      // pointer: 0 away, 1 over the box, 2 pressed inside
  tbitmap* BMP;
  ttext* TITLE;
  int KEY;  // returned when a click toggles the box; 0 returns nothing
  char* INI_KEY;
  char* INI_FILE;
  tcolor* TC;

  tcheck(int x, int y, const char* title, int key);
  tcheck(int x, int y, const char* title, int key, int status);
  ~tcheck() override;

  int get();
  bool operator==(int status);
  bool operator!=(int status);
  // Toggles: any non-zero state becomes unchecked, unchecked becomes checked.
  tcheck& operator!();
  tcheck& operator<<(int status);
  tcheck& operator<<(tcolor* color);

  int x() override;
  int y() override;
  int down() override;
  void show(bool redraw = true) override;
  void hide(bool redraw = true) override;
  void on() override;
  void off() override;
  void move(int dx, int dy) override;
  void _move(int dx, int dy) override;
  void update() override;
  int message(int code) override;

 private:
  void create(int x, int y, const char* title, int key, int status);
  // The picture that shows the current state.
  int picture();
  void show_picture(int id);
  void title_color(tcolor* color);
};
