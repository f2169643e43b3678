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
//
// Each message the toolkit knows has one line in PUMP: its handler and the
// code the handler queues. Every other message gets the platform's default.

namespace {

// A message as it reached the window procedure.
struct wmsg {
  void* hwnd;
  unsigned msg;
  unsigned long wparam;
  long lparam;
  // What the ring and the toolkit's globals keep of wparam.
  unsigned wp() const { return (unsigned)wparam; }
};

typedef long (*handler)(const wmsg& m, int code);

struct pump_entry {
  unsigned msg;
  handler handle;
  int code;  // the code the handler queues, when it queues a fixed one
};

constexpr long HANDLED = 0;

void queue(const wmsg& m, int code) { set_key(code, m.hwnd, m.wp(), m.lparam, m.msg); }

long default_proc(const wmsg& m) { return plat::def_window_proc(m.hwnd, m.msg, m.wparam, m.lparam); }

// A paint and a menu selection are read by the elements they reach at once,
// before anything queued: they see the message in the globals get_key fills.
void store_message(const wmsg& m) {
  _HWND = m.hwnd;
  _WPARAM = m.wp();
  _LPARAM = m.lparam;
  _MESSAGE = m.msg;
}

long queue_code(const wmsg& m, int code) {
  queue(m, code);
  return HANDLED;
}

// Commands and hot keys are their identifiers.
long queue_wparam(const wmsg& m, int) { return queue_code(m, (int)m.wp()); }

// Only the current window may have the focus: a click on a window below
// hands focus and capture straight back.
long on_set_focus(const wmsg& m, int code) {
  if (m.hwnd != THWND && THWND) {
    plat::set_focus(THWND);
    plat::set_capture(THWND);
  }
  return queue_code(m, code);
}

long on_kill_focus(const wmsg& m, int code) {
  if (m.hwnd == THWND) queue(m, code);
  plat::release_capture();
  return HANDLED;
}

long on_paint(const wmsg& m, int code) {
  store_message(m);
  void* dc = plat::begin_paint(m.hwnd);
  paint(_OBJECT, m.hwnd, dc);
  plat::end_paint(m.hwnd, dc);
  return queue_code(m, code);
}

// The answer tells the platform whether the session may end.
long on_query_end_session(const wmsg& m, int code) {
  constexpr long MAY_END = 1;
  if ((__QUERY_END_SESSION && !__QUERY_END_SESSION()) || DISABLE_REBOOT) return queue_code(m, code);
  END_SESSION = true;
  return MAY_END;
}

long on_end_session(const wmsg&, int) {
  if (__END_SESSION) __END_SESSION();
  END_SESSION = true;
  return HANDLED;
}

// Over the client area the pointer is ours; over anything else, the platform's.
long on_set_cursor(const wmsg& m, int) {
  if (plat::low_word((unsigned long)m.lparam) != HTCLIENT) return default_proc(m);
  plat::set_cursor(CURSOR);
  return HANDLED;
}

long on_pos_changing(const wmsg& m, int) {
  plat::windowpos* p = (plat::windowpos*)m.lparam;
  if (p) {
    p->cx = std::max(p->cx, CUR_MIN_LEN);
    p->cy = std::max(p->cy, CUR_MIN_DOWN);
  }
  return HANDLED;
}

long on_destroy(const wmsg& m, int) {
  drop_keys_of(m.hwnd);
  return HANDLED;
}

long on_copy_data(const wmsg& m, int) {
  if (__COPY_DATA_FUNC) __COPY_DATA_FUNC((void*)m.lparam, (void*)m.wparam);
  return HANDLED;
}

// The keys with a code of their own, each block mapped by offset.
static_assert(KEY_F12 - KEY_F1 == VK_F12 - VK_F1, "F1 to F12 are one block");
static_assert(KEY_DOWN - KEY_PAGE_UP == VK_DOWN - VK_PRIOR, "Page Up to Down are one block");
static_assert(KEY_DELETE - KEY_INSERT == VK_DELETE - VK_INSERT, "Insert and Delete are one block");
int key_code(unsigned vk) {
  if (vk >= VK_F1 && vk <= VK_F12) return KEY_F1 + (int)(vk - VK_F1);
  if (vk >= VK_PRIOR && vk <= VK_DOWN) return KEY_PAGE_UP + (int)(vk - VK_PRIOR);
  if (vk == VK_INSERT || vk == VK_DELETE) return KEY_INSERT + (int)(vk - VK_INSERT);
  return 0;
}

// Shift and Ctrl are state the elements read, not keys: pressing or
// letting go of one only ticks, so everyone looks again.
bool note_modifier(unsigned vk, bool down) {
  if (vk == VK_CONTROL) CONTROL_BUTTON = down;
  else if (vk == VK_SHIFT) SHIFT_BUTTON = down;
  else return false;
  return true;
}

// Keys that type characters arrive again as WM_CHAR; only the rest count here.
long on_key_down(const wmsg& m, int) {
  if (int code = key_code(m.wp())) queue(m, code);
  else if (note_modifier(m.wp(), true)) queue(m, CMD_TICK);
  return HANDLED;
}

long on_key_up(const wmsg& m, int) {
  if (note_modifier(m.wp(), false)) queue(m, CMD_TICK);
  return HANDLED;
}

long on_char(const wmsg& m, int) {
  queue(m, (int)m.wp());
  if (m.wp() == CMD_ENABLE_REBOOT) enable_reboot();
  if (m.wp() == CMD_DISABLE_REBOOT) disable_reboot();
  return HANDLED;
}

long on_sys_command(const wmsg& m, int) {
  unsigned command = m.wp() & SC_MASK;
  // The window stays open until its owner destroys it.
  if (command == SC_CLOSE) return queue_code(m, CMD_CLOSE);
  // The minimise still happens; the code only tells the loop.
  if (command == SC_MINIMIZE) queue(m, CMD_MINIMIZED);
  return default_proc(m);
}

// There are no menus, but a caller that selects an item by message gets its
// identifier dispatched at once, as a menu would; the answer is dropped.
long on_menu_select(const wmsg& m, int) {
  store_message(m);
  message(_OBJECT, (int)plat::low_word(m.wparam));
  return HANDLED;
}

// A mouse message carries the modifiers as they were at that moment.
long on_mouse(const wmsg& m, int code) {
  CONTROL_BUTTON = (m.wp() & MK_CONTROL) != 0;
  SHIFT_BUTTON = (m.wp() & MK_SHIFT) != 0;
  return queue_code(m, code);
}

// One code per turn of the wheel, however many steps; the entry keeps the
// signed step count in its wparam for a loop that wants it.
long on_wheel(const wmsg& m, int) {
  long steps = (long)m.wparam;
  if (steps > 0) queue(m, CMD_WHEEL_UP);
  if (steps < 0) queue(m, CMD_WHEEL_DOWN);
  return HANDLED;
}

long on_power(const wmsg& m, int) {
  switch (m.wp()) {
    case PBT_APMSUSPEND:
      if (__SUSPEND) __SUSPEND();
      return HANDLED;
    case PBT_APMRESUMESUSPEND:
      return queue_code(m, CMD_RESUMED);
    default:
      return default_proc(m);
  }
}

// A double click on the icon counts as a press.
long on_tray(const wmsg& m, int) {
  static const struct {
    unsigned mouse;
    int code;
  } TRAY[] = {{WM_MOUSEMOVE, CMD_TRAY_MOVE},      {WM_LBUTTONDOWN, CMD_TRAY_LDOWN},
              {WM_LBUTTONDBLCLK, CMD_TRAY_LDOWN}, {WM_LBUTTONUP, CMD_TRAY_LUP},
              {WM_RBUTTONDOWN, CMD_TRAY_RDOWN},   {WM_RBUTTONDBLCLK, CMD_TRAY_RDOWN},
              {WM_RBUTTONUP, CMD_TRAY_RUP}};
  for (const auto& t : TRAY)
    if (m.lparam == (long)t.mouse) queue(m, t.code);
  return HANDLED;
}

const pump_entry PUMP[] = {
    {WM_SIZE, queue_code, CMD_RESIZED},
    {WM_SETFOCUS, on_set_focus, CMD_FOCUS_GAINED},
    {WM_KILLFOCUS, on_kill_focus, CMD_FOCUS_LOST},
    {WM_PAINT, on_paint, CMD_REPAINT},
    {WM_QUERYENDSESSION, on_query_end_session, CMD_END_REFUSED},
    {WM_ENDSESSION, on_end_session, 0},
    {WM_SETCURSOR, on_set_cursor, 0},
    {WM_WINDOWPOSCHANGING, on_pos_changing, 0},
    {WM_DESTROY, on_destroy, 0},
    {WM_COPYDATA, on_copy_data, 0},
    {WM_KEYDOWN, on_key_down, 0},
    {WM_KEYUP, on_key_up, 0},
    {WM_TIMER, queue_code, CMD_TICK},
    {WM_CHAR, on_char, 0},
    {WM_COMMAND, queue_wparam, 0},
    {WM_HOTKEY, queue_wparam, 0},
    {WM_SYSCOMMAND, on_sys_command, 0},
    {WM_MENUSELECT, on_menu_select, 0},
    {WM_MOUSEMOVE, on_mouse, CMD_MOUSE_MOVE},
    {WM_LBUTTONDOWN, on_mouse, CMD_MOUSE_LDOWN},
    {WM_LBUTTONUP, on_mouse, CMD_MOUSE_LUP},
    {WM_RBUTTONDOWN, on_mouse, CMD_MOUSE_RDOWN},
    {WM_RBUTTONUP, on_mouse, CMD_MOUSE_RUP},
    {WM_MOUSEWHEEL, on_wheel, 0},
    {WM_POWERBROADCAST, on_power, 0},
    {WM_MESSAGE_977, queue_code, CMD_MESSAGE_977},
    {WM_TRAY_NOTIFY, on_tray, 0},
};

}  // namespace

long w_proc(void* hwnd, unsigned msg, unsigned long wparam, long lparam) {
  for (const pump_entry& e : PUMP)
    if (e.msg == msg) return e.handle(wmsg{hwnd, msg, wparam, lparam}, e.code);
  return plat::def_window_proc(hwnd, msg, wparam, lparam);
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
