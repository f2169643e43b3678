#include "class/core.h"

#include <algorithm>
#include <climits>
#include <string>

#include "platform/platform.h"

// ---- colours -------------------------------------------------------------

tcolor::tcolor(unsigned long color)
    : COLOR(color), PEN(new tpen{color, 0, 0}), BRUSH(new tbrush{color}) {}

tcolor::tcolor(unsigned long color, int width, int style)
    : COLOR(color), PEN(new tpen{color, width, style}), BRUSH(new tbrush{color}) {}

tcolor::~tcolor() {
  delete BRUSH;
  delete PEN;
}

// ---- globals ---------------------------------------------------------------

_object* _OBJECT = nullptr;
_object* _LASTOBJ = nullptr;

tkey KEY[KEY_RING];
int CURRENT = 0, LAST = 0;
void* _HWND = nullptr;
long _LPARAM = 0;
unsigned _WPARAM = 0;
unsigned _MESSAGE = 0;

void* THWND = nullptr;
void* THDC = nullptr;
void* THINST = nullptr;
char* CLASS_NAME = nullptr;
int TYCAPTION = 0;
int SHOW_WINDOW = 5;
int CUR_MIN_LEN = 0, CUR_MIN_DOWN = 0;
void* TOP_WINDOW = nullptr;
void* CURSOR = nullptr;
bool END_SESSION = false;
bool DISABLE_REBOOT = false;
void (*__COPY_DATA_FUNC)(void*, void*) = nullptr;
bool (*__QUERY_END_SESSION)() = nullptr;
void (*__END_SESSION)() = nullptr;
void (*__SUSPEND)() = nullptr;

int MOUSE_X = 0, MOUSE_Y = 0;
bool MOUSE_LBUTTON = false, MOUSE_RBUTTON = false;
bool CONTROL_BUTTON = false, SHIFT_BUTTON = false;
bool _DRAG_MODE = false;

int XT = 0, YT = 0, XBT = 0, YBT = 0, XBM = 0, YBM = 0;

// ---- geometry helpers --------------------------------------------------------

int window_x(void* hwnd) {
  plat::rect r;
  plat::get_window_rect(hwnd, &r);
  return r.left;
}

int window_y(void* hwnd) {
  plat::rect r;
  plat::get_window_rect(hwnd, &r);
  return r.top + TYCAPTION;
}

int window_len(void* hwnd) {
  plat::rect r;
  plat::get_client_rect(hwnd, &r);
  return r.right + 1;
}

int window_down(void* hwnd) {
  plat::rect r;
  plat::get_client_rect(hwnd, &r);
  return r.bottom + 1;
}

int x_max(void*) { return plat::screen_width(); }
int y_max(void*) { return plat::screen_height(); }

void disable_reboot() { DISABLE_REBOOT = true; }
void enable_reboot() { DISABLE_REBOOT = false; }
void set_copy_data_func(void (*func)(void*, void*)) { __COPY_DATA_FUNC = func; }
void free_copy_data_func() { __COPY_DATA_FUNC = nullptr; }

void set_cursor(void* cursor) {
  CURSOR = cursor;
  plat::set_cursor(cursor);
}

void set_cursor(int id) { set_cursor(plat::load_cursor(id)); }

// ---- tobject -----------------------------------------------------------------

tobject::tobject()
    : OBJ(nullptr), VISIBLE(true), ACTIVATE(true), ALL_MESSAGE(false), hwnd(THWND), hdc(THDC),
      X(0), Y(0), LEN(0), DOWN(0), XSM(0), YSM(0), LSM(0), DSM(0), _XSM(0), _YSM(0), _LSM(0), _DSM(0) {}

tobject::~tobject() {}

int tobject::x() { return (X >= 0 ? X : window_len(hwnd) + X) + XSM + _XSM; }
int tobject::y() { return (Y >= 0 ? Y : window_down(hwnd) + Y) + YSM + _YSM; }
int tobject::len() { return (LEN >= 0 ? LEN : window_len(hwnd) + LEN - x()) + LSM + _LSM; }
int tobject::down() { return (DOWN >= 0 ? DOWN : window_down(hwnd) + DOWN - y()) + DSM + _DSM; }

void tobject::show(bool redraw) {
  if (VISIBLE) return;
  VISIBLE = true;
  if (redraw) update();
}

void tobject::hide(bool redraw) {
  if (!VISIBLE) return;
  VISIBLE = false;
  if (redraw) {
    plat::rect r = {x(), y(), x() + len(), y() + down()};
    plat::invalidate(hwnd, &r, true);
  }
}

void tobject::on() { ACTIVATE = true; }
void tobject::off() { ACTIVATE = false; }

void tobject::move(int dx, int dy) {
  XSM = dx;
  YSM = dy;
  update();
}

void tobject::_move(int dx, int dy) {
  _XSM = dx;
  _YSM = dy;
  update();
}

void tobject::resize(int dl, int dd) {
  LSM = dl;
  DSM = dd;
  update();
}

void tobject::_resize(int dl, int dd) {
  _LSM = dl;
  _DSM = dd;
  update();
}

void tobject::paint(void*) {}

void tobject::update() {
  if (VISIBLE) paint(hdc);
}

void tobject::update_region(int rx, int ry, int rlen, int rdown) {
  if (!VISIBLE) return;
  void* dc = plat::get_dc(hwnd);
  if (!dc) return;
  plat::rect r = {rx, ry, rx + rlen, ry + rdown};
  plat::set_clip(dc, &r);
  paint(dc);
  plat::release_dc(hwnd, dc);
}

int tobject::message(int) { return 0; }

bool tobject::mouse_inside() {
  int l = x(), t = y();
  if (!(l <= MOUSE_X && MOUSE_X < l + len() && t <= MOUSE_Y && MOUSE_Y < t + down())) return false;
  return OBJ == nullptr || OBJ->mouse_inside();
}

// ---- object registry -------------------------------------------------------------

void set_object(tobject* object) {
  _object* n = new _object{object, _LASTOBJ, nullptr};
  if (_LASTOBJ) _LASTOBJ->next = n;
  else _OBJECT = n;
  _LASTOBJ = n;
}

void reset_object() {
  _object* n = _LASTOBJ;
  if (!n) return;
  _LASTOBJ = n->prev;
  if (_LASTOBJ) _LASTOBJ->next = nullptr;
  else _OBJECT = nullptr;
  delete n;
}

// ---- event ring and pump -----------------------------------------------------------

// Writers of the ring hold KEY_SYNC for the write, however long it takes to
// get: a code may never be dropped for want of the lock.
namespace {
struct ring_lock {
  static constexpr int WAIT_FOREVER = -1;
  static constexpr int ONE_COUNT = 1;
  ring_lock() { KEY_SYNC.wait(WAIT_FOREVER); }
  ~ring_lock() { KEY_SYNC.free(ONE_COUNT); }
  ring_lock(const ring_lock&) = delete;
  ring_lock& operator=(const ring_lock&) = delete;
};
}  // namespace

void set_key(int code, void* hwnd, unsigned wparam, long lparam, unsigned msg) {
  ring_lock lock;
  int next = (LAST + 1) % KEY_RING;
  // A full ring keeps what is pending and drops the newcomer: letting the
  // writer run onto the reader would make 256 events vanish at once.
  if (next != CURRENT) {
    KEY[LAST] = tkey{code, hwnd, lparam, wparam, msg};
    LAST = next;
  }
}

void unget_key(int code, void* hwnd, unsigned wparam, long lparam, unsigned msg) {
  ring_lock lock;
  int prev = (CURRENT + KEY_RING - 1) % KEY_RING;
  // A full ring keeps what is pending, as set_key does.
  if (prev != LAST) {
    KEY[prev] = tkey{code, hwnd, lparam, wparam, msg};
    CURRENT = prev;
  }
}

// A window's pending entries go with it: a new window may be given the same
// address, and a leftover click or Enter must not reach it (nor the loop of
// whatever window is current next).
static void drop_keys_of(void* hwnd) {
  ring_lock lock;
  int kept = CURRENT;
  for (int i = CURRENT; i != LAST; i = (i + 1) % KEY_RING) {
    if (KEY[i].hwnd == hwnd) continue;
    KEY[kept] = KEY[i];
    kept = (kept + 1) % KEY_RING;
  }
  LAST = kept;
}

int get_key() {
  if (END_SESSION) return CMD_CLOSE;
  if (CURRENT == LAST) return 0;
  tkey k = KEY[CURRENT];
  CURRENT = (CURRENT + 1) % KEY_RING;
  _HWND = k.hwnd;
  _LPARAM = k.lparam;
  _WPARAM = k.wparam;
  _MESSAGE = k.msg;
  if (k.code >= CMD_MOUSE_MOVE && k.code <= CMD_MOUSE_LUP) test_mouse(k.wparam, k.lparam);
  return k.code;
}

int getk() {
  if (END_SESSION || CURRENT != LAST) return get_key();
  if (!plat::get_message()) return CMD_CLOSE;
  return get_key();
}

int getkey() { return message(_OBJECT, getk()); }

// window_len and window_down are the client size plus one, so a pointer
// past them less CAPTURE_EDGE is beyond the last column or row. The
// bottom-right corner counts as outside too: that is where the pointer goes
// to size the window.
static constexpr int CAPTURE_EDGE = 2;
static constexpr int CAPTURE_CORNER = 10;

void test_mouse(unsigned buttons, long lparam) {
  MOUSE_X = plat::point_x(lparam);
  MOUSE_Y = plat::point_y(lparam);
  MOUSE_LBUTTON = (buttons & MK_LBUTTON) != 0;
  MOUSE_RBUTTON = (buttons & MK_RBUTTON) != 0;
  if (_DRAG_MODE) return;
  TOP_WINDOW = plat::get_foreground();
  if (TOP_WINDOW != THWND) return;
  if (plat::get_capture() != THWND) {
    plat::set_capture(THWND);
    return;
  }
  int wl = window_len(THWND), wd = window_down(THWND);
  bool outside = MOUSE_X < 0 || MOUSE_Y < 0 || MOUSE_X > wl - CAPTURE_EDGE ||
                 MOUSE_Y > wd - CAPTURE_EDGE ||
                 (MOUSE_X > wl - CAPTURE_CORNER && MOUSE_Y > wd - CAPTURE_CORNER);
  if (outside) {
    plat::release_capture();
    set_key(CMD_POINTER_LEFT, THWND, buttons, lparam, WM_MOUSEMOVE);
  }
}

int message(_object* first, int code) {
  for (_object* n = first; n; n = n->next) {
    tobject* o = n->object;
    if (!o->ACTIVATE || !o->VISIBLE) continue;
    if (code == CMD_TICK || o->ALL_MESSAGE || (o->hwnd == _HWND && _HWND == THWND)) {
      int r = o->message(code);
      if (r) code = r;
    }
  }
  return code;
}

void paint(_object* first, void* hwnd, void* hdc) {
  for (_object* n = first; n; n = n->next)
    if (n->object->VISIBLE && n->object->hwnd == hwnd) n->object->paint(hdc);
}

// ---- the window procedure ------------------------------------------------------------

static void store_message(void* hwnd, unsigned msg, unsigned long wparam, long lparam) {
  _HWND = hwnd;
  _WPARAM = (unsigned)wparam;
  _LPARAM = lparam;
  _MESSAGE = msg;
}

long w_proc(void* hwnd, unsigned msg, unsigned long wparam, long lparam) {
  unsigned wp = (unsigned)wparam;
  auto queue = [&](int code) { set_key(code, hwnd, wp, lparam, msg); };
  switch (msg) {
    case WM_SIZE:
      queue(CMD_RESIZED);
      return 0;
    case WM_SETFOCUS:
      if (hwnd != THWND && THWND) {
        plat::set_focus(THWND);
        plat::set_capture(THWND);
      }
      queue(CMD_FOCUS_GAINED);
      return 0;
    case WM_KILLFOCUS:
      if (hwnd == THWND) queue(CMD_FOCUS_LOST);
      plat::release_capture();
      return 0;
    case WM_PAINT: {
      store_message(hwnd, msg, wparam, lparam);
      void* dc = plat::begin_paint(hwnd);
      paint(_OBJECT, hwnd, dc);
      plat::end_paint(hwnd, dc);
      queue(CMD_REPAINT);
      return 0;
    }
    case WM_QUERYENDSESSION:
      if ((__QUERY_END_SESSION && !__QUERY_END_SESSION()) || DISABLE_REBOOT) {
        queue(CMD_END_REFUSED);
        return 0;
      }
      END_SESSION = true;
      return 1;  // the session may end
    case WM_ENDSESSION:
      if (__END_SESSION) __END_SESSION();
      END_SESSION = true;
      return 0;
    case WM_SETCURSOR:
      if (plat::low_word((unsigned long)lparam) == HTCLIENT) {
        plat::set_cursor(CURSOR);
        return 0;
      }
      return plat::def_window_proc(hwnd, msg, wparam, lparam);
    case WM_WINDOWPOSCHANGING: {
      plat::windowpos* p = (plat::windowpos*)lparam;
      if (p) {
        p->cx = std::max(p->cx, CUR_MIN_LEN);
        p->cy = std::max(p->cy, CUR_MIN_DOWN);
      }
      return 0;
    }
    case WM_DESTROY:
      drop_keys_of(hwnd);
      return 0;
    case WM_COPYDATA:
      if (__COPY_DATA_FUNC) __COPY_DATA_FUNC((void*)lparam, (void*)wparam);
      return 0;
    case WM_KEYDOWN:
      if (wp >= VK_F1 && wp <= VK_F12) queue(KEY_F1 + (wp - VK_F1));
      else if (wp >= VK_PRIOR && wp <= VK_DOWN) queue(KEY_PAGE_UP + (wp - VK_PRIOR));
      else if (wp == VK_INSERT || wp == VK_DELETE) queue(KEY_INSERT + (wp - VK_INSERT));
      else if (wp == VK_CONTROL) {
        CONTROL_BUTTON = true;
        queue(CMD_TICK);
      } else if (wp == VK_SHIFT) {
        SHIFT_BUTTON = true;
        queue(CMD_TICK);
      }
      return 0;
    case WM_KEYUP:
      if (wp == VK_CONTROL) {
        CONTROL_BUTTON = false;
        queue(CMD_TICK);
      } else if (wp == VK_SHIFT) {
        SHIFT_BUTTON = false;
        queue(CMD_TICK);
      }
      return 0;
    case WM_TIMER:
      queue(CMD_TICK);
      return 0;
    case WM_CHAR:
      queue((int)wp);
      if (wp == CMD_ENABLE_REBOOT) enable_reboot();
      if (wp == CMD_DISABLE_REBOOT) disable_reboot();
      return 0;
    case WM_COMMAND:
    case WM_HOTKEY:
      queue((int)wp);
      return 0;
    case WM_SYSCOMMAND:
      if ((wp & SC_MASK) == SC_MINIMIZE) {
        queue(CMD_MINIMIZED);
        return plat::def_window_proc(hwnd, msg, wparam, lparam);
      }
      if ((wp & SC_MASK) == SC_CLOSE) {
        // The window stays open until its owner destroys it.
        queue(CMD_CLOSE);
        return 0;
      }
      return plat::def_window_proc(hwnd, msg, wparam, lparam);
    case WM_MENUSELECT:
      store_message(hwnd, msg, wparam, lparam);
      message(_OBJECT, (int)plat::low_word(wparam));
      return 0;
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP: {
      CONTROL_BUTTON = (wp & MK_CONTROL) != 0;
      SHIFT_BUTTON = (wp & MK_SHIFT) != 0;
      int code = msg == WM_MOUSEMOVE     ? CMD_MOUSE_MOVE
                 : msg == WM_LBUTTONDOWN ? CMD_MOUSE_LDOWN
                 : msg == WM_LBUTTONUP   ? CMD_MOUSE_LUP
                 : msg == WM_RBUTTONDOWN ? CMD_MOUSE_RDOWN
                                         : CMD_MOUSE_RUP;
      queue(code);
      return 0;
    }
    case WM_MOUSEWHEEL:
      // One code per turn of the wheel, however many steps; the entry keeps
      // the signed step count in its wparam for a loop that wants it.
      if ((long)wparam > 0) queue(CMD_WHEEL_UP);
      if ((long)wparam < 0) queue(CMD_WHEEL_DOWN);
      return 0;
    case WM_POWERBROADCAST:
      if (wp == PBT_APMSUSPEND) {
        if (__SUSPEND) __SUSPEND();
        return 0;
      }
      if (wp == PBT_APMRESUMESUSPEND) {
        queue(CMD_RESUMED);
        return 0;
      }
      return plat::def_window_proc(hwnd, msg, wparam, lparam);
    case WM_MESSAGE_977:
      queue(CMD_MESSAGE_977);
      return 0;
    case WM_TRAY_NOTIFY:
      // A double click on the icon counts as a press.
      switch (lparam) {
        case WM_MOUSEMOVE: queue(CMD_TRAY_MOVE); break;
        case WM_LBUTTONDOWN: case WM_LBUTTONDBLCLK: queue(CMD_TRAY_LDOWN); break;
        case WM_LBUTTONUP: queue(CMD_TRAY_LUP); break;
        case WM_RBUTTONDOWN: case WM_RBUTTONDBLCLK: queue(CMD_TRAY_RDOWN); break;
        case WM_RBUTTONUP: queue(CMD_TRAY_RUP); break;
        default: break;
      }
      return 0;
    default:
      return plat::def_window_proc(hwnd, msg, wparam, lparam);
  }
}

// ---- class and window creation -------------------------------------------------------

unsigned short reg_class(const char* name, void* instance, unsigned icon) {
  static std::string class_name;
  THINST = instance;
  class_name = name ? name : "";
  CLASS_NAME = &class_name[0];
  return plat::register_class(CLASS_NAME, w_proc, (int)icon, cLGRAY.COLOR);
}

void* create_window(const char* caption, unsigned long style, int x, int y, int len, int down,
                    void* parent, void*, void*) {
  CUR_MIN_DOWN = CUR_MIN_LEN = 0;
  if (y < 0 && y != CW_USEDEFAULT) y = 0;
  int sw = plat::screen_width(), sh = plat::screen_height();
  if (x != CW_USEDEFAULT && x + len > sw) x = sw - len;
  if (y != CW_USEDEFAULT && y + down + 28 > sh) y = sh - down - 28;
  return plat::create_window(CLASS_NAME ? CLASS_NAME : "", caption, (uint32_t)style, x, y, len, down, parent);
}

// ---- twindow -------------------------------------------------------------------------

// The first window's timer is the source of CMD_TICK for the whole stack.
static constexpr unsigned TICK_TIMER = 1;
static constexpr unsigned TICK_PERIOD_MS = 100;

void twindow::begin(int len, int down) {
  LEN = len;
  DOWN = down;
  prhwnd = THWND;
  prhdc = THDC;
  pr_m_down = CUR_MIN_DOWN;
  pr_m_len = CUR_MIN_LEN;
  prycaption = 0;
  hwnd = hdc = nullptr;
  plat::release_capture();
}

void twindow::finish(void* handle, bool captioned) {
  hwnd = handle;
  if (!prhwnd && hwnd) plat::set_timer(hwnd, TICK_TIMER, TICK_PERIOD_MS);
  set_cursor(plat::load_cursor(IDC_ARROW));
  TYCAPTION = captioned ? plat::caption_height() : 0;
  THWND = hwnd;
  plat::show_window(hwnd, SHOW_WINDOW);
  plat::update_window(hwnd);
  hdc = plat::get_dc(hwnd);
  THDC = hdc;
  plat::set_capture(hwnd);
}

// Style and outer size of a captioned window.
static unsigned long caption_style(char type, bool owned, int len, int down, int* ow, int* oh) {
  int cap = plat::caption_height();
  if (type == 1) {
    *ow = len + 8;
    *oh = down + cap + 8;
    return owned ? (WS_DLGFRAME | WS_SYSMENU | WS_THICKFRAME | WS_MAXIMIZEBOX) : WS_OVERLAPPEDWINDOW;
  }
  *ow = len + 6;
  *oh = down + cap + 6;
  return WS_DLGFRAME | WS_SYSMENU | (owned ? 0u : (unsigned)WS_MINIMIZEBOX);
}

// Style and outer size of a window without caption; types 4 to 6 are placed
// on the screen like "other", 2 and 3.
static unsigned long popup_style(char type, int len, int down, int* ow, int* oh) {
  switch (type) {
    case 1:
      *ow = len + 8;
      *oh = down + 8;
      return WS_POPUP | WS_DLGFRAME | WS_THICKFRAME;
    case 2:
    case 5:
      *ow = len + 2;
      *oh = down + 2;
      return WS_POPUP | WS_BORDER;
    case 3:
    case 6:
      *ow = len;
      *oh = down;
      return WS_POPUP;
    default:
      *ow = len + 6;
      *oh = down + 6;
      return WS_POPUP | WS_DLGFRAME;
  }
}

static void centre_over_current(int len, int down, int* x, int* y) {
  *x = window_x(THWND) + window_len(THWND) / 2 - len / 2;
  *y = window_y(THWND) + window_down(THWND) / 2 - down / 2;
}

twindow::twindow(int len, int down, const char* caption, char type, int) {
  begin(len, down);
  int ow, oh, x = CW_USEDEFAULT, y = CW_USEDEFAULT;
  bool owned = THWND != nullptr;
  unsigned long style = caption_style(type, owned, len, down, &ow, &oh);
  if (owned) {
    prycaption = TYCAPTION;
    centre_over_current(len, down, &x, &y);
  }
  finish(create_window(caption, style, x, y, ow, oh, owned ? THWND : nullptr, nullptr, nullptr), true);
}

twindow::twindow(int x, int y, int len, int down, const char* caption, char type, int) {
  begin(len, down);
  int ow, oh;
  bool owned = THWND != nullptr;
  unsigned long style = caption_style(type, owned, len, down, &ow, &oh);
  if (owned) {
    prycaption = TYCAPTION;
    x += window_x(THWND);
    y += window_y(THWND);
  }
  finish(create_window(caption, style, x, y, ow, oh, owned ? THWND : nullptr, nullptr, nullptr), true);
}

twindow::twindow(int len, int down, int type) {
  begin(len, down);
  int ow, oh, x = CW_USEDEFAULT, y = CW_USEDEFAULT;
  bool owned = THWND != nullptr;
  unsigned long style = popup_style(type, len, down, &ow, &oh);
  if (owned) {
    prycaption = TYCAPTION;
    centre_over_current(len, down, &x, &y);
  } else if (type != 1 && type != 2 && type != 3) {
    x = (plat::screen_width() - len + 6) / 2;
    y = (plat::screen_height() - down + 6) / 2;
  }
  finish(create_window("", style, x, y, ow, oh, owned ? THWND : nullptr, nullptr, nullptr), false);
}

twindow::twindow(int x, int y, int len, int down, int type) {
  begin(len, down);
  int ow, oh;
  bool owned = THWND != nullptr;
  unsigned long style;
  if (type >= 4 && type <= 6) {
    // Placed on the screen, not relative to the current window.
    if (owned) {
      style = popup_style(type, len, down, &ow, &oh);
      prycaption = TYCAPTION;
    } else {
      style = popup_style(0, len, down, &ow, &oh);
    }
  } else {
    style = popup_style(type, len, down, &ow, &oh);
    if (owned) {
      prycaption = TYCAPTION;
      x += window_x(THWND);
      y += window_y(THWND);
    }
  }
  finish(create_window("", style, x, y, ow, oh, owned ? THWND : nullptr, nullptr, nullptr), false);
}

twindow::~twindow() {
  plat::release_dc(hwnd, hdc);
  plat::release_capture();
  if (prhwnd) {
    plat::set_focus(prhwnd);
    plat::set_focus(hwnd);
  }
  plat::destroy_window(hwnd);
  THWND = prhwnd;
  if (THWND) {
    plat::set_focus(THWND);
    plat::set_capture(THWND);
  } else {
    plat::kill_timer(hwnd, TICK_TIMER);
  }
  THDC = prhdc;
  CUR_MIN_DOWN = pr_m_down;
  CUR_MIN_LEN = pr_m_len;
  TYCAPTION = prycaption;
}

twindow& twindow::operator<<(const char* caption) {
  if (caption) plat::set_caption(hwnd, caption);
  return *this;
}

// The program carries no menu resources; the menu calls are kept so that
// callers written for menus still build, and do nothing.
twindow& twindow::operator<<(int) { return *this; }
void twindow::enable_menu_item(int) {}
void twindow::disable_menu_item(int) {}
void twindow::set_menu_item_text(const char*, int) {}
void twindow::set_menu_popup_text(const char*, int) {}

void twindow::minimize() { plat::show_window(hwnd, SW_MINIMIZE); }
void twindow::maximize() { plat::show_window(hwnd, SW_SHOWMAXIMIZED); }
void twindow::normal() { plat::show_window(hwnd, SW_RESTORE); }
void twindow::hide() { plat::show_window(hwnd, SW_HIDE); }
void twindow::show() { plat::show_window(hwnd, SW_SHOW); }
void twindow::foreground() { plat::set_foreground(hwnd); }
int twindow::x() { return window_x(hwnd); }
int twindow::y() { return window_y(hwnd); }
int twindow::len() { return window_len(hwnd); }
int twindow::down() { return window_down(hwnd); }

void twindow::size(int l, int d) {
  plat::rect o, c;
  plat::get_window_rect(hwnd, &o);
  plat::get_client_rect(hwnd, &c);
  int ow = (o.right - o.left) - c.right + l;
  int oh = (o.bottom - o.top) - c.bottom + d;
  plat::move_window(hwnd, o.left, o.top, ow, oh, true);
}

void twindow::pos(int x, int y) {
  plat::rect o;
  plat::get_window_rect(hwnd, &o);
  plat::move_window(hwnd, x, y, o.right - o.left, o.bottom - o.top, true);
}
