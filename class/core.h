// The toolkit's core: colours, drawn objects, the window stack, the event
// ring and the pump that turns window messages into command codes.
#pragma once

#include "class/codes.h"
#include "class/sync.h"

// A colour and the drawing tools made from it. COLOR is 0x00BBGGRR.
struct tpen {
  unsigned long color;
  int width;
  int style;
};
struct tbrush {
  unsigned long color;
};

class tcolor {
 public:
  unsigned long COLOR;
  tpen* PEN;
  tbrush* BRUSH;
  explicit tcolor(unsigned long color);
  tcolor(unsigned long color, int width, int style);
  ~tcolor();
  tcolor(const tcolor&) = delete;
  tcolor& operator=(const tcolor&) = delete;
};

extern tcolor cWHITE, cBLACK, cRED, cGREEN, cLGREEN, cDGREEN, cYELLOW, cLYELLOW, cBLUE, cDBLUE,
    cLGRAY, cLLGRAY, cGRAY, cBGR;

// Base of every drawn element. Negative X, Y, LEN, DOWN count from the right
// or bottom edge of the window's client area, so anchored elements follow a
// resized window.
class tobject {
 public:
  tobject* OBJ;
  bool VISIBLE;
  bool ACTIVATE;
  bool ALL_MESSAGE;
  void* hwnd;
  void* hdc;
  int X, Y, LEN, DOWN;
  int XSM, YSM, LSM, DSM;
  int _XSM, _YSM, _LSM, _DSM;

  tobject();
  tobject(const tobject&) = delete;
  tobject& operator=(const tobject&) = delete;

  // Virtual operations, in slot order.
  virtual int x();
  virtual int y();
  virtual int len();
  virtual int down();
  virtual void show(bool redraw = true);
  virtual void hide(bool redraw = true);
  virtual void on();
  virtual void off();
  virtual void move(int dx, int dy);
  virtual void _move(int dx, int dy);
  virtual void resize(int dl, int dd);
  virtual void _resize(int dl, int dd);
  virtual void paint(void* hdc);
  virtual void update();
  virtual void update_region(int x, int y, int len, int down);
  virtual int message(int code);
  virtual ~tobject();

  bool mouse_inside();
};

// A node of the object registry.
struct _object {
  tobject* object;
  _object* prev;
  _object* next;
};
extern _object* _OBJECT;
extern _object* _LASTOBJ;

// One entry of the event ring.
struct tkey {
  int code;
  void* hwnd;
  long lparam;
  unsigned wparam;
  unsigned msg;
};
const int KEY_RING = 256;
extern tkey KEY[KEY_RING];
extern int CURRENT, LAST;
extern void* _HWND;
extern long _LPARAM;
extern unsigned _WPARAM;
extern unsigned _MESSAGE;

// Window state.
extern void* THWND;
extern void* THDC;
extern void* THINST;
extern char* CLASS_NAME;
extern int TYCAPTION;
extern int SHOW_WINDOW;
extern int CUR_MIN_LEN, CUR_MIN_DOWN;
extern void* TOP_WINDOW;
extern void* CURSOR;
extern bool END_SESSION;
extern bool DISABLE_REBOOT;
extern void (*__COPY_DATA_FUNC)(void* data, void* sender);
extern bool (*__QUERY_END_SESSION)();
extern void (*__END_SESSION)();
extern void (*__SUSPEND)();

// Input state.
extern int MOUSE_X, MOUSE_Y;
extern bool MOUSE_LBUTTON, MOUSE_RBUTTON;
extern bool CONTROL_BUTTON, SHIFT_BUTTON;
extern bool _DRAG_MODE;

// Layout helpers: the right and bottom edges of the last text, button and
// bitmap made.
extern int XT, YT, XBT, YBT, XBM, YBM;

unsigned short reg_class(const char* name, void* instance, unsigned icon);
void* create_window(const char* caption, unsigned long style, int x, int y, int len, int down,
                    void* parent, void* menu, void* param);
long w_proc(void* hwnd, unsigned msg, unsigned long wparam, long lparam);

int getkey();
int getk();
int get_key();
void set_key(int code, void* hwnd, unsigned wparam, long lparam, unsigned msg);
// Puts an entry back at the front of the ring, to be read next: a control
// that took an event meant for another one hands it on ahead of whatever
// arrived after it (a press goes back before its own release).
void unget_key(int code, void* hwnd, unsigned wparam, long lparam, unsigned msg);
void test_mouse(unsigned buttons, long lparam);
int message(_object* first, int code);
void paint(_object* first, void* hwnd, void* hdc);
void set_object(tobject* object);
void reset_object();
void set_cursor(void* cursor);
void set_cursor(int id);

int window_x(void* hwnd);
int window_y(void* hwnd);
int window_len(void* hwnd);
int window_down(void* hwnd);
int x_max(void* hdc);
int y_max(void* hdc);

void disable_reboot();
void enable_reboot();
void set_copy_data_func(void (*func)(void* data, void* sender));
void free_copy_data_func();

// A top-level or popup window; the newest one is current and modal over the
// ones below it.
class twindow {
 public:
  void* prhwnd;
  void* prhdc;
  int prycaption;
  int pr_m_len, pr_m_down;
  int LEN, DOWN;
  void* hwnd;
  void* hdc;

  twindow(int len, int down, const char* caption, char type = 0, int menu = 0);
  twindow(int x, int y, int len, int down, const char* caption, char type = 0, int menu = 0);
  twindow(int len, int down, int type);
  twindow(int x, int y, int len, int down, int type);
  ~twindow();
  twindow(const twindow&) = delete;
  twindow& operator=(const twindow&) = delete;

  twindow& operator<<(const char* caption);
  twindow& operator<<(int menu);
  void enable_menu_item(int id);
  void disable_menu_item(int id);
  void set_menu_item_text(const char* text, int id);
  void set_menu_popup_text(const char* text, int position);

  void minimize();
  void maximize();
  void normal();
  void hide();
  void show();
  void foreground();
  int x();
  int y();
  int len();
  int down();
  void size(int len, int down);
  void pos(int x, int y);

 private:
  void begin(int len, int down);
  void finish(void* handle, bool captioned);
};
