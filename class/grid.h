// The grid view of a query, its header of column titles and the two scroll
// bars. The bars appear only when the rows or the columns do not fit.
#pragma once

#include <array>

#include "class/button.h"
#include "class/draw.h"
#include "class/sync.h"

class tdbquery;

// The next free internal command code. Each scroll bar takes two for its
// arrow buttons and gives them back when it goes; bars are destroyed in the
// reverse order of their making, so the codes are reused in step.
extern int GL_ID;

// What both scroll bars are: an arrow at each end, the track between them
// and a thumb on it, all along one axis. A bar returns KEY whenever its
// position changed. The track is each bar's own (the vertical one shows on
// it which way a held press pages), and so is the way it keeps what the
// pointer is doing (SELECTED).
class tscrollbar : public tobject {
 public:
  static constexpr int THICKNESS = 16;

  int KEY;
  int KEY_BASE;   // code of the first arrow; the second has KEY_BASE + 1
  tbox* SBOX;     // the thumb
  tborder* SBRD;  // the thumb's frame
  tsbutton* BPR;  // up or left arrow
  tsbutton* BNX;  // down or right arrow
  int STEP;       // page size
  int MAX;        // number of positions
  int POS;        // 0 .. MAX - 1
  ttimer PMT;     // paging repeat

  ~tscrollbar() override;

  int pos();
  bool operator++();
  bool operator--();
  void max(int n);
  void test_key();

  void show(bool redraw = true) override;
  void hide(bool redraw = true) override;
  void on() override;
  void off() override;
  void move(int dx, int dy) override;
  void _move(int dx, int dy) override;
  void paint(void* hdc) override;
  void update() override;
  int message(int code) override;

 protected:
  enum orientation { VERTICAL, HORIZONTAL };
  // What the pointer is doing with the bar; the vertical bar's SELECTED
  // holds these very numbers.
  enum gesture { IDLE = 0, DRAGGING = 1, PAGING_BACK = 2, PAGING_FORWARD = 3 };

  // length runs along the bar; a negative one anchors the far end to the
  // window's edge. The bar makes its arrows; the caller makes the track.
  tscrollbar(orientation o, int x, int y, int length, int key, int back_picture, int forward_picture);
  // The length of the track between the arrows of a bar that long.
  static int track_length(int length);
  // Puts the thumb on the track, which the bar owns from now on.
  void put_thumb_on(tobject* track);
  // Boxes before and after the thumb that turn black while a held press
  // pages towards them; the bar owns them from now on.
  void mark_paging_with(tbox* before, tbox* after);
  // Clamped to 0 .. MAX - 1; lays out and repaints the thumb and sets the
  // arrows.
  void set_pos(int pos);

  virtual gesture state() = 0;
  virtual void set_state(gesture g) = 0;

 private:
  orientation AXIS;
  tobject* TRACK;
  tbox* BEFORE;  // nullptr: the track does not show paging
  tbox* AFTER;

  bool vertical() const { return AXIS == VERTICAL; }
  int along(int x, int y) const { return vertical() ? y : x; }
  int start_of(tobject* o) { return along(o->x(), o->y()); }
  int extent(tobject* o) { return vertical() ? o->down() : o->len(); }
  void place_on_track(tobject* o, int from, int length, int inset);
  std::array<tobject*, 5> track_parts();
  void layout();
  void paint_track(void* hdc);
  bool page();
  int press();
  int repeat();
  int pointer_moved();
  void end_gesture();
};

// Vertical scroll bar, always 16 pixels wide: an up arrow, the track with
// the thumb, a down arrow.
class tvsb : public tscrollbar {
 public:
  tnull* SB;  // the track
  tbox* SBU;  // the track above the thumb
  tbox* SBD;  // the track below the thumb
  unsigned long SELECTED;  // 0 idle, 1 dragging the thumb, 2 paging up, 3 paging down

  // down < 0 anchors the bottom to the window's bottom edge.
  tvsb(int x, int y, int down, int key);
  tvsb& operator=(int pos);

 protected:
  gesture state() override;
  void set_state(gesture g) override;
};

// Horizontal scroll bar, always 16 pixels high: left arrow, track, right
// arrow.
class tgsb : public tscrollbar {
 public:
  tbox* SB;       // the whole track
  bool SELECTED;  // dragging the thumb

  // len < 0 anchors the right end to the window's right edge.
  tgsb(int x, int y, int len, int key);
  tgsb& operator=(int pos);

 protected:
  gesture state() override;
  void set_state(gesture g) override;

 private:
  gesture PAGING;  // IDLE, PAGING_BACK (left) or PAGING_FORWARD (right)
};

// The row of column titles over a grid's background (its OBJ). Dragging the
// right border of a title changes the column's width.
class thcnt : public tobject {
 public:
  int KEY;  // returned when a column was resized: the grid's code base
  int NUM_BUT;
  theaderbutton* BUT[50];
  int SELECT;  // the column whose right border is being dragged, -1 for none

  thcnt(tobject* parent, int key);
  ~thcnt() override;

  void add(const char* title, int len);
  void button_size(int col, int len);
  void update_obj(int left, int top, int right, int bottom);

  int x() override;
  int y() override;
  int len() override;
  int down() override;
  void show(bool redraw = true) override;
  void hide(bool redraw = true) override;
  void on() override;
  void off() override;
  void move(int dx, int dy) override;
  void _move(int dx, int dy) override;
  void paint(void* hdc) override;
  void update() override;
  int message(int code) override;

 private:
  bool CARET;  // the resize line is up
  void end_drag();
};

// A query shown as a table: one row per index entry, one column per field
// added, a focus row and per-row selection marks (kept in the query's index).
// It returns MESSAGE for every event it handles; LAST_OPERATION says what
// that event did.
class tdbgrid : public tobject {
 public:
  int MESSAGE;
  int UP_POS;     // index position shown in the first visible row
  int POS;        // focus row
  int SIZE_BASE;  // query size at the last full repaint
  tborder* BORDER;
  tfont* FONT;
  tbox* BGR;   // white background; clips header and rows
  tbox* DBGR;  // the corner between the two bars
  tvsb* VSB;
  tgsb* GSB;
  thcnt* HEADER;
  tdbquery* BASE;  // not owned: destroy the grid first
  int NUM_ELEMENT;
  char QUERY_ELEMENT[50];
  char BMP_ELEMENT[50];  // character field holding a picture number, -1 for none
  int LEN_ELEMENT[50];
  char LAST_OPERATION;  // what the last handled event did: one of the values below
  unsigned char SELECT_HEADER;  // column under the pointer at the last click, 255 for none
  int AUTO_EDIT[50];   // 0 none, 1 edit in place on a second click, 3 check picture on the focus row
  bool IN_EDIT;

  // The values of LAST_OPERATION. They are what an application reads after
  // the grid returned MESSAGE, so they keep their numbers.
  enum : char {
    ROWS_SCROLLED = 0,     // the vertical bar moved the view
    ROW_PRESSED = 1,       // the left button went down on a row; it is still down
    RIGHT_CLICKED = 2,     // the right button went down over the rows
    COLUMN_RESIZED = 4,    // a column border was dragged
    COLUMNS_SCROLLED = 5,  // the horizontal bar moved the view
    EDIT_STARTED = 6,      // a second click on an AUTO_EDIT 1 cell edited it in place
    MARKS_CLEARED = 7,     // a click below the rows or right of the columns cleared the marks
    ROW_CLICKED = 8,       // the left button went up on a ROW_PRESSED row
    SECOND_CLICK = 9,      // a second click on a cell whose AUTO_EDIT is neither 0 nor 1
  };

  tdbgrid(int x, int y, int len, int down, tdbquery* query, int message);
  ~tdbgrid() override;

  // picture_field: -1 for none.
  void add(const char* title, int len, char field, char picture_field = -1);
  int pos();
  bool operator=(int row);
  bool operator--();
  bool operator++();
  bool line_up();
  bool line_dn();
  bool page_up();
  bool page_dn();
  void update_line();
  void update_line(int row);
  int len_column(int col);
  void edit(int col);
  void update_rec(int row, int col);

  void show(bool redraw = true) override;
  void hide(bool redraw = true) override;
  void on() override;
  void off() override;
  void move(int dx, int dy) override;
  void _move(int dx, int dy) override;
  void resize(int dl, int dd) override;
  void paint(void* hdc) override;
  void update() override;
  int message(int code) override;
  virtual void reset();

  // Internal.
  void put_rec(void* hdc, int row, int col);
  void put_focus(void* hdc);
  void set_pos(int row, bool repaint_all);
  void update_scrollbar();

 private:
  int rows_fit();             // whole rows the background holds
  bool row_visible(int row);  // row lies in the visible rows
  int row_top(int row);       // top of the row's band (cells from top + 18)
  int columns_right();        // right edge of the last column
  int columns_beyond(int right);
  int column_at(int x);
  void repaint_all();
  void paint_row(void* hdc, int row);
  void clear_marks();
  // What message does with each event it takes.
  int columns_resized();
  int rows_scrolled();
  int columns_scrolled();
  bool pointer_over_rows();
  int row_under_pointer();
  int right_press();
  int left_press();
};
