// The grid view of a query, its header of column titles and the two scroll
// bars. The bars appear only when the rows or the columns do not fit.
#pragma once

#include "class/button.h"
#include "class/draw.h"
#include "class/sync.h"

class tdbquery;

// The next free internal command code. Each scroll bar takes two for its
// arrow buttons and gives them back when it goes; bars are destroyed in the
// reverse order of their making, so the codes are reused in step.
extern int GL_ID;

// Vertical scroll bar, always 16 pixels wide: an up arrow, the track with
// the thumb, a down arrow. It returns KEY whenever its position changed.
class tvsb : public tobject {
 public:
  int KEY;
  int KEY_BASE;      // code of the up arrow; the down arrow has KEY_BASE + 1
  tbox* SBOX;        // the thumb
  tborder* SBRD;     // the thumb's frame
  tsbutton* BPR;     // up arrow
  tsbutton* BNX;     // down arrow
  tnull* SB;         // the track
  tbox* SBU;         // the track above the thumb
  tbox* SBD;         // the track below the thumb
  int STEP;          // page size
  int MAX;           // number of positions
  int POS;           // 0 .. MAX - 1
  unsigned long SELECTED;  // 0 idle, 1 dragging the thumb, 2 paging up, 3 paging down
  ttimer PMT;        // paging repeat

  // down < 0 anchors the bottom to the window's bottom edge.
  tvsb(int x, int y, int down, int key);
  ~tvsb() override;

  int pos();
  tvsb& operator=(int pos);
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

 private:
  void layout();
  void paint_track(void* hdc);
  bool page(int dir);
};

// Horizontal scroll bar, always 16 pixels high: left arrow, track, right
// arrow.
class tgsb : public tobject {
 public:
  int KEY;
  int KEY_BASE;   // code of the left arrow; the right arrow has KEY_BASE + 1
  tbox* SBOX;     // the thumb
  tborder* SBRD;  // the thumb's frame
  tsbutton* BPR;  // left arrow
  tsbutton* BNX;  // right arrow
  tbox* SB;       // the whole track
  int STEP;
  int MAX;
  int POS;
  bool SELECTED;  // dragging the thumb
  ttimer PMT;

  // len < 0 anchors the right end to the window's right edge.
  tgsb(int x, int y, int len, int key);
  ~tgsb() override;

  int pos();
  tgsb& operator=(int pos);
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

 private:
  int PAGING;  // -1 paging left, 1 paging right, 0 not paging
  void layout();
  bool page(int dir);
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
  char LAST_OPERATION;
  unsigned char SELECT_HEADER;  // column under the pointer at the last click, 255 for none
  int AUTO_EDIT[50];   // 0 none, 1 edit in place on a second click, 3 check picture on the focus row
  bool IN_EDIT;

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
};
