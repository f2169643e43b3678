// Clipped drawing primitives, the font wrapper and the simple drawn
// elements: placeholder, box, bitmap, frame and static text.
#pragma once

#include "class/core.h"
#include "class/date.h"

class tfont {
 public:
  void* FONT;
  tfont(const char* face, int height, int escapement = 0, int weight = 0, int italic = 0);
  ~tfont();
  tfont(const tfont&) = delete;
  tfont& operator=(const tfont&) = delete;
  void modify(const char* face, int height, int escapement = 0, int weight = 0, int italic = 0);
  // Width in pixels of text in this font.
  int strlen(const char* text);
  int strlen(const char* text, int n);
};

const int default_charset = 204;

void draw_line(void* hdc, int x1, int y1, int x2, int y2, tcolor* color);
void draw_line(void* hdc, int x1, int y1, int x2, int y2, tcolor* color, tobject* parent);
void draw_box(void* hdc, int left, int top, int right, int bottom, tcolor* color, tobject* parent);
void draw_bitmap(void* hdc, int x, int y, int len, int down, void* bitmap, tobject* parent);
void draw_bitmap(void* hdc, int x, int y, void* bitmap, tobject* parent);
void size_bitmap(int* len, int* down, void* bitmap);
void draw_text(void* hdc, int x, int y, int len, int down, char active, unsigned format,
               const char* text, tcolor* color, tfont* font, tobject* parent);
void draw_text(void* hdc, int x, int y, int len, int down, char active, unsigned format,
               const char* text, tcolor* color, tcolor* background, tfont* font, tobject* parent);
void draw_focus(void* hdc, int left, int top, int right, int bottom, tobject* parent);

// The number rule of numeric texts: value in a field of width characters,
// right-aligned, trailing zeros dropped, "#" when the integer part does not
// fit, digits grouped by three when group is set and there is room.
char* put(double value, int width, int group);

class tnull : public tobject {
 public:
  tnull(int x, int y, int len, int down);
  ~tnull() override;
};

class tbox : public tobject {
 public:
  tcolor* CL;
  tbox(int x, int y, int len, int down, tcolor* color, tobject* parent = nullptr);
  ~tbox() override;
  void color(tcolor* color);
  tbox& operator<<(tcolor* color);
  void paint(void* hdc) override;
};

class tbitmap : public tobject {
 public:
  void* BITMAP;
  tbitmap(int x, int y, int id, tobject* parent = nullptr);
  ~tbitmap() override;
  tbitmap& operator<<(int id);
  void paint(void* hdc) override;
};

class tborder : public tobject {
 public:
  signed char TYPE;
  tborder(int x, int y, int len, int down, char type, tobject* parent = nullptr);
  tborder(tobject* of, char type, tobject* parent = nullptr);
  ~tborder() override;
  tborder& operator<<(char type);
  void hide(bool redraw = true) override;
  void paint(void* hdc) override;
};

class ttext : public tobject {
 public:
  tfont* FONT;
  tbox* BOX;
  tcolor* TC;
  char TYPE;
  char* TXT;
  double DIGIT;
  tdate DATE;
  ttime TIME;
  unsigned FORMAT;
  int SSEL, ESEL;
  bool PASS_STR;
  char* PASS_TXT;
  bool DIGIT_ONLY;

  ttext(int x, int y, const char* text, int len = -1);
  ttext(int x, int y, const char* text, tcolor* textcolor, tcolor* background, int len = -1);
  ttext(int x, int y, double value, int width, int len = -1);
  ttext(int x, int y, double value, int width, tcolor* textcolor, tcolor* background, int len = -1);
  ttext(int x, int y, tdate date);
  ttext(int x, int y, tdate date, tcolor* textcolor, tcolor* background);
  ttext(int x, int y, ttime time);
  ttext(int x, int y, ttime time, tcolor* textcolor, tcolor* background);
  ~ttext() override;

  ttext& operator<<(const char* text);
  ttext& operator<<(double value);
  ttext& operator<<(tdate date);
  ttext& operator<<(ttime time);
  char* text();
  char* pass_text();
  double digit();
  tdate date();
  ttime time();
  void color(tcolor* textcolor, tcolor* background);
  void clear();

  void show(bool redraw = true) override;
  void hide(bool redraw = true) override;
  void on() override;
  void off() override;
  void move(int dx, int dy) override;
  void _move(int dx, int dy) override;
  void paint(void* hdc) override;
  void update() override;

 protected:
  ttext() = default;
  void create(int x, int y, int len, char type, const char* text, tcolor* textcolor, tcolor* background);
  void set_text(const char* text);
};
