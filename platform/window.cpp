// Windows, the event pump and the translation of SDL events into window
// messages.
//
// One SDL window per toolkit window. A captioned window is decorated by the
// window manager and its SDL surface is exactly the client area; a popup is
// borderless, its surface is the whole outer rectangle and we draw its frame
// ourselves. The outer geometry of a captioned window is kept as the classic
// model (frame and caption around the client area) so that the toolkit's
// arithmetic stays the same whatever the window manager draws.
#include <SDL.h>
#include <SDL_image.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

#include "platform/internal.h"

namespace plat {

std::vector<window*> g_windows;

static bool g_video = false;
static bool g_quit = false;
static std::string g_class_name;
static wndproc_t g_proc = nullptr;
static int g_class_icon = 0;
static uint32_t g_class_bg = 0x00C8D0D4;

static window* g_focus = nullptr;
static window* g_foreground = nullptr;
static window* g_capture = nullptr;

// Modifier and button state as our own events report it: pushed (injected)
// events do not change SDL's keyboard state, real ones do both.
static bool g_shift = false, g_ctrl = false, g_altgr = false, g_lbutton = false, g_rbutton = false;
// Last pointer position over each window, to report leaving it.
static int g_last_x = 0, g_last_y = 0;

// Xlib's default error handler ends the process. SDL talks to the server
// over two connections (its wake-up messages go over the second), so a
// request about a window that the first has just destroyed can come back as
// BadWindow, and the default handler would take the tool down in the middle
// of a session, perhaps with the device left in programming mode. Errors
// about single requests are harmless to us: they are dropped. Losing the
// connection itself still ends the program (that is Xlib's I/O handler).
typedef int (*x_error_handler)(void* display, void* error);
static int ignore_x_error(void*, void*) { return 0; }

static void survive_x_errors() {
  const char* driver = SDL_GetCurrentVideoDriver();
  if (!driver || strcmp(driver, "x11") != 0) return;
  void* lib = dlopen("libX11.so.6", RTLD_LAZY | RTLD_NOLOAD);
  if (!lib) return;
  auto set_handler = (x_error_handler(*)(x_error_handler))dlsym(lib, "XSetErrorHandler");
  if (set_handler) set_handler(ignore_x_error);
  dlclose(lib);
}

static void video_hints() {
  SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
  SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
  SDL_SetHint(SDL_HINT_VIDEO_MINIMIZE_ON_FOCUS_LOSS, "0");
  SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_PING, "0");
}

static void video_started() {
  SDL_StartTextInput();
  survive_x_errors();
  g_video = true;
}

bool ensure_video() {
  if (g_video) return true;
  video_hints();
  if (SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) {
    // No display: fall back to the offscreen dummy so the program still runs
    // its logic (and tests need no display at all).
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "dummy");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) return false;
  }
  video_started();
  return true;
}

bool open_display() {
  if (g_video) return true;
  video_hints();
  const char* asked = SDL_getenv("SDL_VIDEODRIVER");
  // The libraries behind the drivers print their own complaints when they
  // find no display (libwayland about XDG_RUNTIME_DIR, for one). When no
  // display comes of it the caller says so in one line of its own; when one
  // does, whatever they said is passed on.
  fflush(stderr);
  int saved = dup(2);
  FILE* said = saved >= 0 ? tmpfile() : nullptr;
  if (said) dup2(fileno(said), 2);
  bool started = SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS) == 0;
  if (started && !(asked && *asked)) {
    // Where no display starts, SDL settles for its offscreen driver by
    // itself: windows nobody sees. Only a driver asked for by name counts.
    const char* driver = SDL_GetCurrentVideoDriver();
    if (driver && (strcmp(driver, "offscreen") == 0 || strcmp(driver, "dummy") == 0)) {
      SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS);
      started = false;
    }
  }
  if (said) {
    fflush(stderr);
    dup2(saved, 2);
    if (started) {
      rewind(said);
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, said)) > 0) fwrite(buf, 1, n, stderr);
    }
    fclose(said);
  }
  if (saved >= 0) close(saved);
  if (!started) return false;
  video_started();
  return true;
}

window* find_window(void* hwnd) {
  if (!hwnd) return nullptr;
  for (window* w : g_windows)
    if (w == hwnd) return w;
  return nullptr;
}

window* window_by_sdl_id(uint32_t id) {
  for (window* w : g_windows)
    if (w->sdl_id == id) return w;
  return nullptr;
}

unsigned short register_class(const char* name, wndproc_t proc, int icon, uint32_t bg) {
  if (!name || !proc) return 0;
  g_class_name = name;
  g_proc = proc;
  g_class_icon = icon;
  g_class_bg = bg;
  return 0xC001;
}

int screen_width() {
  if (!ensure_video()) return 1024;
  SDL_DisplayMode m;
  if (SDL_GetDesktopDisplayMode(0, &m) != 0) return 1024;
  return m.w;
}

int screen_height() {
  if (!ensure_video()) return 768;
  SDL_DisplayMode m;
  if (SDL_GetDesktopDisplayMode(0, &m) != 0) return 768;
  return m.h;
}

// The classic caption height; the window manager may draw another one, which
// changes only where a window is centred, never its client area.
int caption_height() { return 19; }

uint32_t menu_color() { return 0x00C8D0D4; }

long send_message(void* hwnd, unsigned msg, unsigned long wparam, long lparam) {
  if (!g_proc || !find_window(hwnd)) return 0;
  return g_proc(hwnd, msg, wparam, lparam);
}

static void set_icon(window* w) {
  if (!g_class_icon) return;
  void* pic = load_picture(g_class_icon);
  if (!pic) return;
  SDL_Surface* s = picture_surface(pic);
  if (s) SDL_SetWindowIcon(w->sdl, s);
  free_picture(pic);
}

void* create_window(const char* class_name, const char* caption, uint32_t style, int x, int y,
                    int w, int h, void* owner) {
  if (!ensure_video()) return nullptr;
  if (!class_name || g_class_name != class_name) return nullptr;
  window* win = new window;
  win->style = style;
  // An overlapped (non-popup) window always has a caption.
  win->popup = (style & WS_POPUP) != 0;
  win->frame = (style & WS_THICKFRAME) ? 4
               : (style & WS_DLGFRAME) || !win->popup ? 3
               : (style & WS_BORDER) ? 1 : 0;
  win->caption = win->popup ? 0 : caption_height();
  win->owner = find_window(owner);
  win->caption_text = caption ? caption : "";
  win->client_w = std::max(1, w - 2 * win->frame);
  win->client_h = std::max(1, h - 2 * win->frame - win->caption);
  if (x == CW_USEDEFAULT) {
    x = (screen_width() - w) / 2;
    y = (screen_height() - h) / 2;
  }
  Uint32 flags = SDL_WINDOW_HIDDEN;
  int sw, sh, px, py;
  if (win->popup) {
    flags |= SDL_WINDOW_BORDERLESS | SDL_WINDOW_SKIP_TASKBAR;
    sw = std::max(1, w);
    sh = std::max(1, h);
    px = x;
    py = y;
  } else {
    if (style & WS_THICKFRAME) flags |= SDL_WINDOW_RESIZABLE;
    sw = win->client_w;
    sh = win->client_h;
    px = x + win->frame;
    py = y + win->frame + win->caption;
  }
  std::string title = to_utf8(caption);
  win->sdl = SDL_CreateWindow(title.c_str(), px, py, sw, sh, flags);
  if (!win->sdl) {
    delete win;
    return nullptr;
  }
  win->sdl_id = SDL_GetWindowID(win->sdl);
  if (win->owner) SDL_SetWindowModalFor(win->sdl, win->owner->sdl);
  g_windows.push_back(win);
  set_icon(win);
  invalidate(win, nullptr, true);
  return win;
}

void destroy_window(void* hwnd) {
  window* w = find_window(hwnd);
  if (!w) return;
  send_message(w, WM_DESTROY, 0, 0);
  caret_window_destroyed(w);
  if (g_focus == w) g_focus = nullptr;
  if (g_foreground == w) g_foreground = nullptr;
  if (g_capture == w) g_capture = nullptr;
  for (window* o : g_windows)
    if (o->owner == w) o->owner = nullptr;
  g_windows.erase(std::find(g_windows.begin(), g_windows.end(), w));
  SDL_DestroyWindow(w->sdl);
  delete w;
}

bool is_window(void* hwnd) { return find_window(hwnd) != nullptr; }

void set_caption(void* hwnd, const char* caption) {
  window* w = find_window(hwnd);
  if (!w || !caption) return;
  w->caption_text = caption;
  SDL_SetWindowTitle(w->sdl, to_utf8(caption).c_str());
}

void show_window(void* hwnd, int cmd) {
  window* w = find_window(hwnd);
  if (!w) return;
  switch (cmd) {
    case SW_HIDE:
      SDL_HideWindow(w->sdl);
      w->visible = false;
      return;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
      SDL_ShowWindow(w->sdl);
      SDL_MinimizeWindow(w->sdl);
      w->visible = true;
      return;
    case SW_SHOWMAXIMIZED:
      SDL_ShowWindow(w->sdl);
      SDL_MaximizeWindow(w->sdl);
      break;
    case SW_RESTORE:
    case SW_SHOWNORMAL:
      SDL_ShowWindow(w->sdl);
      SDL_RestoreWindow(w->sdl);
      break;
    default:
      SDL_ShowWindow(w->sdl);
      break;
  }
  bool was_visible = w->visible;
  w->visible = true;
  if (!was_visible) invalidate(w, nullptr, true);
  // Showing activates, as it does on the classic desktop.
  set_foreground(w);
  set_focus(w);
}

bool is_visible(void* hwnd) {
  window* w = find_window(hwnd);
  return w && w->visible;
}

bool is_minimized(void* hwnd) {
  window* w = find_window(hwnd);
  return w && (SDL_GetWindowFlags(w->sdl) & SDL_WINDOW_MINIMIZED);
}

void update_window(void* hwnd) {
  window* w = find_window(hwnd);
  if (w && w->invalid && w->visible) send_message(w, WM_PAINT, 0, 0);
  if (find_window(hwnd) && w->invalid) {
    void* d = begin_paint(w);
    end_paint(w, d);
  }
}

// Screen position of the client area's top-left corner.
static void client_origin(window* w, int* x, int* y) {
  int px = 0, py = 0;
  SDL_GetWindowPosition(w->sdl, &px, &py);
  *x = px + w->sx();
  *y = py + w->sy();
}

void get_window_rect(void* hwnd, rect* r) {
  window* w = find_window(hwnd);
  if (!w || !r) {
    if (r) *r = {0, 0, 0, 0};
    return;
  }
  int cx, cy;
  client_origin(w, &cx, &cy);
  r->left = cx - w->frame;
  r->top = cy - w->frame - w->caption;
  r->right = cx + w->client_w + w->frame;
  r->bottom = cy + w->client_h + w->frame;
}

void get_client_rect(void* hwnd, rect* r) {
  window* w = find_window(hwnd);
  if (!r) return;
  *r = {0, 0, w ? w->client_w : 0, w ? w->client_h : 0};
}

static SDL_Surface* g_dummy_surface = nullptr;

SDL_Surface* surface_of(window* w) {
  SDL_Surface* s = w ? SDL_GetWindowSurface(w->sdl) : nullptr;
  if (!s) {
    // Drawing into a window that has no surface must not crash: it goes nowhere.
    if (!g_dummy_surface) g_dummy_surface = SDL_CreateRGBSurfaceWithFormat(0, 1, 1, 32, SDL_PIXELFORMAT_RGB888);
    return g_dummy_surface;
  }
  return s;
}

// Brings the client size in line with the SDL window after a resize.
static void sync_size(window* w, bool notify) {
  int sw = 0, sh = 0;
  SDL_GetWindowSize(w->sdl, &sw, &sh);
  int cw = w->popup ? sw - 2 * w->frame : sw;
  int ch = w->popup ? sh - 2 * w->frame : sh;
  cw = std::max(1, cw);
  ch = std::max(1, ch);
  if (cw == w->client_w && ch == w->client_h) return;
  w->client_w = cw;
  w->client_h = ch;
  invalidate(w, nullptr, true);
  if (notify) send_message(w, WM_SIZE, 0, make_long((unsigned)cw, (unsigned)ch));
}

void move_window(void* hwnd, int x, int y, int wdt, int hgt, bool repaint) {
  window* w = find_window(hwnd);
  if (!w) return;
  windowpos wp = {w, x, y, wdt, hgt};
  send_message(w, WM_WINDOWPOSCHANGING, 0, (long)&wp);
  int cw = std::max(1, wp.cx - 2 * w->frame);
  int ch = std::max(1, wp.cy - 2 * w->frame - w->caption);
  if (w->popup) {
    SDL_SetWindowSize(w->sdl, cw + 2 * w->frame, ch + 2 * w->frame);
    SDL_SetWindowPosition(w->sdl, wp.x, wp.y);
  } else {
    SDL_SetWindowSize(w->sdl, cw, ch);
    SDL_SetWindowPosition(w->sdl, wp.x + w->frame, wp.y + w->frame + w->caption);
  }
  sync_size(w, true);
  if (repaint) invalidate(w, nullptr, true);
}

void set_foreground(void* hwnd) {
  window* w = find_window(hwnd);
  if (!w) return;
  g_foreground = w;
  if (w->visible) SDL_RaiseWindow(w->sdl);
}

void* get_foreground() { return g_foreground; }

void set_focus(void* hwnd) {
  window* w = find_window(hwnd);
  if (!w) return;
  g_focus = w;
  g_foreground = w;
  // Without a window manager the focus stays on the last window mapped
  // unless it is moved explicitly.
  if (w->visible) SDL_SetWindowInputFocus(w->sdl);
}

void* get_focus() { return g_focus; }

// Capture is kept as a record of which window gets the pointer's messages
// while it is off the window: a real pointer grab on X11 would take the
// pointer from every other program while a device operation blocks the pump.
// Leaving the window is reported from the window manager's leave event.
void set_capture(void* hwnd) {
  window* w = find_window(hwnd);
  if (w) g_capture = w;
}

void release_capture() { g_capture = nullptr; }

void* get_capture() { return g_capture; }

void set_timer(void* hwnd, unsigned id, unsigned period_ms) {
  window* w = find_window(hwnd);
  if (!w) return;
  if (period_ms == 0) period_ms = 1;
  for (timer& t : w->timers)
    if (t.id == id) {
      t.period = period_ms;
      t.due = tick() + period_ms;
      return;
    }
  w->timers.push_back({id, period_ms, tick() + period_ms});
}

void kill_timer(void* hwnd, unsigned id) {
  window* w = find_window(hwnd);
  if (!w) return;
  w->timers.erase(std::remove_if(w->timers.begin(), w->timers.end(),
                                 [id](const timer& t) { return t.id == id; }),
                  w->timers.end());
}

void invalidate(void* hwnd, const rect* r, bool erase) {
  window* w = find_window(hwnd);
  if (!w) return;
  rect a = r ? *r : rect{0, 0, w->client_w, w->client_h};
  a.left = std::max(a.left, 0);
  a.top = std::max(a.top, 0);
  a.right = std::min(a.right, w->client_w);
  a.bottom = std::min(a.bottom, w->client_h);
  if (a.left >= a.right || a.top >= a.bottom) return;
  if (w->invalid) {
    w->inv.left = std::min(w->inv.left, a.left);
    w->inv.top = std::min(w->inv.top, a.top);
    w->inv.right = std::max(w->inv.right, a.right);
    w->inv.bottom = std::max(w->inv.bottom, a.bottom);
  } else {
    w->inv = a;
  }
  w->invalid = true;
  w->erase = w->erase || erase;
}

long def_window_proc(void* hwnd, unsigned msg, unsigned long wparam, long) {
  window* w = find_window(hwnd);
  if (!w) return 0;
  switch (msg) {
    case WM_SYSCOMMAND:
      if ((wparam & SC_MASK) == SC_MINIMIZE) SDL_MinimizeWindow(w->sdl);
      return 0;
    case WM_PAINT: {
      void* d = begin_paint(w);
      end_paint(w, d);
      return 0;
    }
    case WM_SETCURSOR:
      set_cursor(load_cursor(IDC_ARROW));
      return 1;
    default:
      return 0;
  }
}

void* begin_paint(void* hwnd) {
  window* w = find_window(hwnd);
  if (!w) return nullptr;
  dc* d = new dc;
  d->w = w;
  d->clipped = true;
  d->clip = w->invalid ? w->inv : rect{0, 0, 0, 0};
  if (w->invalid && w->erase) fill_rect(d, d->clip.left, d->clip.top, d->clip.right, d->clip.bottom, g_class_bg);
  if (w->popup) draw_frame(w);
  w->invalid = false;
  w->erase = false;
  return d;
}

void end_paint(void*, void* d) { delete (dc*)d; }

void* get_dc(void* hwnd) {
  window* w = find_window(hwnd);
  if (!w) return nullptr;
  dc* d = new dc;
  d->w = w;
  return d;
}

void release_dc(void*, void* d) { delete (dc*)d; }

void set_clip(void* d, const rect* r) {
  dc* c = (dc*)d;
  if (!c) return;
  c->clipped = r != nullptr;
  if (r) c->clip = *r;
}

void* dc_window(void* d) { return d ? ((dc*)d)->w : nullptr; }

void mark_dirty(window* w) {
  if (w) w->dirty = true;
}

void present() {
  for (window* w : g_windows) {
    if (!w->dirty || !w->visible) continue;
    SDL_Surface* s = SDL_GetWindowSurface(w->sdl);
    if (!s) continue;
    if (w->popup) draw_frame(w);
    caret_overlay(w, s);
    SDL_UpdateWindowSurface(w->sdl);
    caret_overlay(w, s);
    w->dirty = false;
  }
}

void post_quit() { g_quit = true; }

// ---- translation of SDL events -------------------------------------------

static int vk_of(SDL_Keycode k) {
  if (k >= SDLK_F1 && k <= SDLK_F12) return VK_F1 + (k - SDLK_F1);
  if (k >= SDLK_a && k <= SDLK_z) return 'A' + (k - SDLK_a);
  if (k >= SDLK_0 && k <= SDLK_9) return '0' + (k - SDLK_0);
  switch (k) {
    case SDLK_PAGEUP: return VK_PRIOR;
    case SDLK_PAGEDOWN: return VK_NEXT;
    case SDLK_END: return VK_END;
    case SDLK_HOME: return VK_HOME;
    case SDLK_LEFT: return VK_LEFT;
    case SDLK_UP: return VK_UP;
    case SDLK_RIGHT: return VK_RIGHT;
    case SDLK_DOWN: return VK_DOWN;
    case SDLK_INSERT: return VK_INSERT;
    case SDLK_DELETE: return VK_DELETE;
    case SDLK_LSHIFT: case SDLK_RSHIFT: return VK_SHIFT;
    case SDLK_LCTRL: case SDLK_RCTRL: return VK_CONTROL;
    case SDLK_LALT: case SDLK_RALT: return VK_MENU;
    case SDLK_RETURN: case SDLK_KP_ENTER: return VK_RETURN;
    case SDLK_ESCAPE: return VK_ESCAPE;
    case SDLK_BACKSPACE: return VK_BACK;
    case SDLK_TAB: return VK_TAB;
    case SDLK_SPACE: return VK_SPACE;
    default: return 0;
  }
}

// The navigation keys of the keypad, by physical key; with NumLock on the
// same keys type digits, which arrive as text.
static int keypad_vk(SDL_Scancode sc) {
  switch (sc) {
    case SDL_SCANCODE_KP_7: return VK_HOME;
    case SDL_SCANCODE_KP_1: return VK_END;
    case SDL_SCANCODE_KP_8: return VK_UP;
    case SDL_SCANCODE_KP_2: return VK_DOWN;
    case SDL_SCANCODE_KP_4: return VK_LEFT;
    case SDL_SCANCODE_KP_6: return VK_RIGHT;
    case SDL_SCANCODE_KP_9: return VK_PRIOR;
    case SDL_SCANCODE_KP_3: return VK_NEXT;
    case SDL_SCANCODE_KP_0: return VK_INSERT;
    case SDL_SCANCODE_KP_PERIOD: return VK_DELETE;
    default: return 0;
  }
}

static bool on_keypad(SDL_Scancode sc) {
  return sc >= SDL_SCANCODE_KP_1 && sc <= SDL_SCANCODE_KP_PERIOD;
}

// The virtual key of a key event. Letters follow the layout where it is a
// Latin one; on any other (Russian) the physical key names the letter, as
// the classic desktop does, so Ctrl+C is Ctrl+C whatever the layout prints.
static int vk_of_key(const SDL_Keysym& k) {
  if (on_keypad(k.scancode)) return (k.mod & KMOD_NUM) ? 0 : keypad_vk(k.scancode);
  int vk = vk_of(k.sym);
  if (!vk && k.scancode >= SDL_SCANCODE_A && k.scancode <= SDL_SCANCODE_Z) vk = 'A' + (k.scancode - SDL_SCANCODE_A);
  if (!vk && k.scancode >= SDL_SCANCODE_1 && k.scancode <= SDL_SCANCODE_9) vk = '1' + (k.scancode - SDL_SCANCODE_1);
  if (!vk && k.scancode == SDL_SCANCODE_0) vk = '0';
  return vk;
}

static bool is_altgr_key(SDL_Keycode k) { return k == SDLK_RALT || k == SDLK_MODE; }

// Ctrl turns letters into commands; with AltGr (Ctrl+Alt on the classic
// desktop) keys type the layout's third-level characters instead.
static bool ctrl_held() { return g_ctrl || (SDL_GetModState() & KMOD_CTRL); }
static bool altgr_held() { return g_altgr || (SDL_GetModState() & (KMOD_RALT | KMOD_MODE)); }

// Keeps the platform's own record of the modifiers and buttons current.
static void note_key(const SDL_KeyboardEvent& k) {
  bool down = k.type == SDL_KEYDOWN;
  int vk = vk_of(k.keysym.sym);
  if (vk == VK_SHIFT) g_shift = down;
  if (vk == VK_CONTROL) g_ctrl = down;
  if (is_altgr_key(k.keysym.sym)) g_altgr = down;
}

static SDL_Keycode key_of_vk(int vk) {
  if (vk >= VK_F1 && vk <= VK_F12) return SDLK_F1 + (vk - VK_F1);
  if (vk >= 'A' && vk <= 'Z') return SDLK_a + (vk - 'A');
  if (vk >= '0' && vk <= '9') return SDLK_0 + (vk - '0');
  switch (vk) {
    case VK_PRIOR: return SDLK_PAGEUP;
    case VK_NEXT: return SDLK_PAGEDOWN;
    case VK_END: return SDLK_END;
    case VK_HOME: return SDLK_HOME;
    case VK_LEFT: return SDLK_LEFT;
    case VK_UP: return SDLK_UP;
    case VK_RIGHT: return SDLK_RIGHT;
    case VK_DOWN: return SDLK_DOWN;
    case VK_INSERT: return SDLK_INSERT;
    case VK_DELETE: return SDLK_DELETE;
    case VK_SHIFT: return SDLK_LSHIFT;
    case VK_CONTROL: return SDLK_LCTRL;
    case VK_MENU: return SDLK_LALT;
    case VK_RETURN: return SDLK_RETURN;
    case VK_ESCAPE: return SDLK_ESCAPE;
    case VK_BACK: return SDLK_BACKSPACE;
    case VK_TAB: return SDLK_TAB;
    case VK_SPACE: return SDLK_SPACE;
    default: return SDLK_UNKNOWN;
  }
}

static unsigned mouse_flags() {
  unsigned f = 0;
  if (g_lbutton) f |= MK_LBUTTON;
  if (g_rbutton) f |= MK_RBUTTON;
  if (g_shift) f |= MK_SHIFT;
  if (g_ctrl) f |= MK_CONTROL;
  return f;
}

// The message a button event becomes, noting the button's state on the
// way; 0 for the buttons the toolkit does not use.
static unsigned note_button(const SDL_MouseButtonEvent& b) {
  bool down = b.type == SDL_MOUSEBUTTONDOWN;
  if (b.button == SDL_BUTTON_LEFT) {
    g_lbutton = down;
    return down ? WM_LBUTTONDOWN : WM_LBUTTONUP;
  }
  if (b.button == SDL_BUTTON_RIGHT) {
    g_rbutton = down;
    return down ? WM_RBUTTONDOWN : WM_RBUTTONUP;
  }
  return 0;
}

// A key let go while another program or window had the focus never reaches
// us: holding on to Shift or Ctrl would leave it stuck.
static void forget_modifiers() { g_shift = g_ctrl = g_altgr = false; }

static bool in_client(window* w, int cx, int cy) {
  return cx >= 0 && cy >= 0 && cx < w->client_w && cy < w->client_h;
}

// Delivers a mouse message at SDL-window coordinates x, y of w: to the
// capturing window, translated into its client coordinates, when another one
// holds the capture; dropped when the pointer is on a frame we draw and
// nothing holds the capture (that would be a non-client message).
static bool deliver_mouse(window* w, unsigned msg, int x, int y) {
  int gx, gy;
  SDL_GetWindowPosition(w->sdl, &gx, &gy);
  gx += x;
  gy += y;
  window* target = g_capture && g_capture != w ? g_capture : w;
  int ox, oy;
  client_origin(target, &ox, &oy);
  int cx = gx - ox, cy = gy - oy;
  bool inside = in_client(target, cx, cy);
  if (!inside && g_capture != target) return false;
  g_last_x = gx;
  g_last_y = gy;
  if (inside && msg == WM_MOUSEMOVE)
    send_message(target, WM_SETCURSOR, (unsigned long)target, make_long(HTCLIENT, WM_MOUSEMOVE));
  send_message(target, msg, mouse_flags(), pack_point(cx, cy));
  return true;
}

// ---- window events: each returns true when it sent the toolkit a message

static bool on_shown(window* w) {
  w->visible = true;
  invalidate(w, nullptr, true);
  return false;
}

static bool on_hidden(window* w) {
  w->visible = false;
  return false;
}

static bool on_exposed(window* w) {
  invalidate(w, nullptr, true);
  mark_dirty(w);
  return false;
}

// The window manager resized the window; the toolkit may hold it at its
// minimum size, which a captioned window is also told to keep.
static bool on_resized(window* w) {
  int sw, sh;
  SDL_GetWindowSize(w->sdl, &sw, &sh);
  rect r;
  get_window_rect(w, &r);
  int ow = (w->popup ? sw : sw + 2 * w->frame);
  int oh = (w->popup ? sh : sh + 2 * w->frame + w->caption);
  windowpos wp = {w, r.left, r.top, ow, oh};
  send_message(w, WM_WINDOWPOSCHANGING, 0, (long)&wp);
  if (wp.cx != ow || wp.cy != oh) {
    int cw = std::max(1, wp.cx - 2 * w->frame);
    int ch = std::max(1, wp.cy - 2 * w->frame - w->caption);
    if (!w->popup) SDL_SetWindowMinimumSize(w->sdl, cw, ch);
    SDL_SetWindowSize(w->sdl, w->popup ? wp.cx : cw, w->popup ? wp.cy : ch);
  }
  sync_size(w, true);
  return true;
}

static bool on_minimized(window* w) {
  send_message(w, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  return true;
}

static bool on_focus_gained(window* w) {
  g_focus = w;
  g_foreground = w;
  send_message(w, WM_SETFOCUS, 0, 0);
  return true;
}

static bool on_focus_lost(window* w) {
  if (g_focus == w) g_focus = nullptr;
  forget_modifiers();
  send_message(w, WM_KILLFOCUS, 0, 0);
  return true;
}

static bool on_close(window* w) {
  send_message(w, WM_SYSCOMMAND, SC_CLOSE, 0);
  return true;
}

// The pointer left for good: tell the capturing window where it went so it
// can give the capture up. Where it still lies over the client area it left
// onto a window on top, and it is reported just left of the area.
static bool on_leave(window* w) {
  constexpr int LEFT_OF_AREA = -1;
  if (g_capture != w) return false;
  int gx, gy;
  SDL_GetGlobalMouseState(&gx, &gy);
  int ox, oy;
  client_origin(w, &ox, &oy);
  int cx = gx - ox, cy = gy - oy;
  if (in_client(w, cx, cy)) cx = LEFT_OF_AREA;
  send_message(w, WM_MOUSEMOVE, mouse_flags(), pack_point(cx, cy));
  return true;
}

static bool translate_window_event(const SDL_WindowEvent& e) {
  static const struct {
    Uint8 event;
    bool (*handle)(window* w);
  } EVENTS[] = {{SDL_WINDOWEVENT_SHOWN, on_shown},
                {SDL_WINDOWEVENT_HIDDEN, on_hidden},
                {SDL_WINDOWEVENT_EXPOSED, on_exposed},
                {SDL_WINDOWEVENT_SIZE_CHANGED, on_resized},
                {SDL_WINDOWEVENT_RESIZED, on_resized},
                {SDL_WINDOWEVENT_MINIMIZED, on_minimized},
                {SDL_WINDOWEVENT_FOCUS_GAINED, on_focus_gained},
                {SDL_WINDOWEVENT_FOCUS_LOST, on_focus_lost},
                {SDL_WINDOWEVENT_CLOSE, on_close},
                {SDL_WINDOWEVENT_LEAVE, on_leave}};
  window* w = window_by_sdl_id(e.windowID);
  if (!w) return false;
  for (const auto& h : EVENTS)
    if (h.event == e.event) return h.handle(w);
  return false;
}

// ---- input events: each returns true when it sent the toolkit a message

// Keys and text go to their own window, else to the one with the focus.
static window* key_target(uint32_t window_id) {
  window* w = window_by_sdl_id(window_id);
  return w ? w : g_focus;
}

// The character a key types by itself, which text input does not carry;
// 0 for none. Ctrl+letter is the letter's place in the alphabet, unless
// AltGr makes the key type the layout's own character.
static int typed_by_key(int vk, const SDL_Keysym& k) {
  switch (vk) {
    case VK_RETURN: return CH_RETURN;
    case VK_ESCAPE: return CH_ESCAPE;
    case VK_BACK: return CH_BACKSPACE;
    case VK_TAB: return CH_TAB;
    default: break;
  }
  bool ctrl = g_ctrl || (k.mod & KMOD_CTRL);
  bool third_level = g_altgr || (k.mod & (KMOD_ALT | KMOD_MODE));
  if (vk >= 'A' && vk <= 'Z' && ctrl && !third_level) return CH_CTRL_A + (vk - 'A');
  return 0;
}

static bool on_key(const SDL_KeyboardEvent& k) {
  window* w = key_target(k.windowID);
  if (!w) return false;
  int vk = vk_of_key(k.keysym);
  bool down = k.type == SDL_KEYDOWN;
  note_key(k);
  if (vk == 0) return false;
  send_message(w, down ? WM_KEYDOWN : WM_KEYUP, (unsigned long)vk, REPEAT_ONCE);
  // The key down may have closed the window.
  if (!down || !find_window(w)) return true;
  if (int ch = typed_by_key(vk, k.keysym)) send_message(w, WM_CHAR, (unsigned long)ch, REPEAT_ONCE);
  return true;
}

static bool on_text(const SDL_TextInputEvent& t) {
  window* w = key_target(t.windowID);
  if (!w) return false;
  // Whatever the layout makes of Ctrl+key is not typing: the key itself
  // became the control code (a Russian layout would type 'с' here).
  if (ctrl_held() && !altgr_held()) return false;
  for (unsigned char c : from_utf8(t.text)) {
    // Each character may close the window; the rest then go nowhere.
    if (c < CH_SPACE || !find_window(w)) continue;
    send_message(w, WM_CHAR, c, REPEAT_ONCE);
  }
  return true;
}

static bool on_motion(const SDL_MouseMotionEvent& m) {
  window* w = window_by_sdl_id(m.windowID);
  return w && deliver_mouse(w, WM_MOUSEMOVE, m.x, m.y);
}

static bool on_button(const SDL_MouseButtonEvent& b) {
  window* w = window_by_sdl_id(b.windowID);
  if (!w) return false;
  unsigned msg = note_button(b);
  return msg && deliver_mouse(w, msg, b.x, b.y);
}

// The wheel goes as the steps it turned, away from the user positive
// however the desktop is set to scroll; the capturing window gets it.
static bool on_wheel(const SDL_MouseWheelEvent& e) {
  window* w = window_by_sdl_id(e.windowID);
  if (!w) return false;
  long steps = e.direction == SDL_MOUSEWHEEL_FLIPPED ? -e.y : e.y;
  if (steps == 0) return false;
  window* target = g_capture ? g_capture : w;
  send_message(target, WM_MOUSEWHEEL, (unsigned long)steps, pack_point(g_last_x, g_last_y));
  return true;
}

static bool translate(const SDL_Event& e) {
  switch (e.type) {
    case SDL_WINDOWEVENT: return translate_window_event(e.window);
    case SDL_KEYDOWN:
    case SDL_KEYUP: return on_key(e.key);
    case SDL_TEXTINPUT: return on_text(e.text);
    case SDL_MOUSEMOTION: return on_motion(e.motion);
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: return on_button(e.button);
    case SDL_MOUSEWHEEL: return on_wheel(e.wheel);
    case SDL_QUIT:
      post_quit();
      return true;
    default: return false;
  }
}

// ---- the pump ------------------------------------------------------------

static volatile sig_atomic_t g_signal = 0;

static void on_signal(int sig) {
  if (g_signal) {
    // The first one was never picked up: the program is stuck; end it.
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  }
  g_signal = sig;
}

void install_session_signals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

// The session ends: ask the newest window, then tell it.
static bool handle_signal() {
  if (!g_signal) return false;
  g_signal = 0;
  if (g_windows.empty()) {
    post_quit();
    return true;
  }
  window* top = g_windows.back();
  if (send_message(top, WM_QUERYENDSESSION, 0, 0) && find_window(top))
    send_message(top, WM_ENDSESSION, ENDSESSION_ENDING, 0);
  return true;
}

static window* first_invalid() {
  for (window* w : g_windows)
    if (w->invalid && w->visible) return w;
  return nullptr;
}

// A window procedure that left the paint to default processing, or that is
// not there yet, must not leave the window invalid: the pump would paint it
// again and again.
static void paint_window(window* w) {
  send_message(w, WM_PAINT, 0, 0);
  if (find_window(w) && w->invalid) {
    void* d = begin_paint(w);
    end_paint(w, d);
  }
}

static bool fire_due_timer(uint32_t now) {
  for (window* w : g_windows)
    for (timer& t : w->timers)
      if ((int32_t)(now - t.due) >= 0) {
        // A late timer fires once, not once per missed period.
        t.due = now + t.period;
        send_message(w, WM_TIMER, t.id, 0);
        return true;
      }
  return false;
}

// The longest the pump waits without looking round: a session signal is
// noticed within it, whatever the timers.
static constexpr int MAX_WAIT_MS = 100;
// A zero timeout would not wait at all.
static constexpr int MIN_WAIT_MS = 1;

static int ms_to_next_timer(uint32_t now) {
  int best = MAX_WAIT_MS;
  for (window* w : g_windows)
    for (timer& t : w->timers) best = std::min(best, std::max(0, (int32_t)(t.due - now)));
  int c = caret_next_blink(now);
  if (c >= 0) best = std::min(best, c);
  return best;
}

static bool dispatch_one(bool wait) {
  if (!ensure_video()) return false;
  for (;;) {
    if (g_quit) return false;
    if (handle_signal()) return true;
    SDL_Event e;
    if (SDL_PollEvent(&e)) {
      if (translate(e)) return true;
      continue;
    }
    if (window* w = first_invalid()) {
      paint_window(w);
      return true;
    }
    if (fire_due_timer(tick())) return true;
    present();
    if (!wait) return false;
    if (SDL_WaitEventTimeout(&e, std::max(MIN_WAIT_MS, ms_to_next_timer(tick())))) {
      if (translate(e)) return true;
    }
  }
}

bool get_message() {
  if (g_quit) {
    g_quit = false;
    return false;
  }
  bool r = dispatch_one(true);
  if (g_quit) {
    g_quit = false;
    return false;
  }
  return r;
}

bool peek_message() { return dispatch_one(false); }

// While a helper program is modal, what the windows look like is kept
// current; focus, the close box, minimising and the pointer are the user's,
// and go.
static void keep_looks(const SDL_WindowEvent& e) {
  switch (e.event) {
    case SDL_WINDOWEVENT_SHOWN:
    case SDL_WINDOWEVENT_HIDDEN:
    case SDL_WINDOWEVENT_EXPOSED:
    case SDL_WINDOWEVENT_SIZE_CHANGED:
    case SDL_WINDOWEVENT_RESIZED:
      translate_window_event(e);
      break;
    case SDL_WINDOWEVENT_FOCUS_LOST:
      forget_modifiers();
      break;
    default:
      break;
  }
}

// Input is thrown away, but the platform's record of keys and buttons still
// follows it, or a key let go meanwhile would stay held.
static void swallow(const SDL_Event& e) {
  switch (e.type) {
    case SDL_WINDOWEVENT: keep_looks(e.window); break;
    case SDL_KEYDOWN:
    case SDL_KEYUP: note_key(e.key); break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: note_button(e.button); break;
    case SDL_QUIT: post_quit(); break;
    default: break;
  }
}

void modal_pump() {
  if (!g_video) return;
  SDL_Event e;
  while (SDL_PollEvent(&e)) swallow(e);
  // Every window painted at most once a round: a paint that invalidates
  // again waits for the next one.
  for (size_t i = 0, n = g_windows.size(); i < n; i++) {
    window* w = first_invalid();
    if (!w) break;
    paint_window(w);
  }
  present();
}

// ---- synthetic input (tests) ---------------------------------------------

static void push(SDL_Event& e) {
  ensure_video();
  SDL_PushEvent(&e);
}

void inject_mouse_move(void* hwnd, int x, int y) {
  window* w = find_window(hwnd);
  if (!w) return;
  SDL_Event e;
  SDL_zero(e);
  e.type = SDL_MOUSEMOTION;
  e.motion.windowID = w->sdl_id;
  e.motion.x = x + w->sx();
  e.motion.y = y + w->sy();
  push(e);
}

void inject_mouse_button(void* hwnd, int x, int y, int button, bool down) {
  window* w = find_window(hwnd);
  if (!w) return;
  SDL_Event e;
  SDL_zero(e);
  e.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
  e.button.windowID = w->sdl_id;
  e.button.button = (Uint8)button;
  e.button.state = down ? SDL_PRESSED : SDL_RELEASED;
  e.button.clicks = 1;
  e.button.x = x + w->sx();
  e.button.y = y + w->sy();
  push(e);
}

void inject_wheel(void* hwnd, int dy) {
  window* w = find_window(hwnd);
  if (!w) return;
  SDL_Event e;
  SDL_zero(e);
  e.type = SDL_MOUSEWHEEL;
  e.wheel.windowID = w->sdl_id;
  e.wheel.y = dy;
  e.wheel.direction = SDL_MOUSEWHEEL_NORMAL;
  push(e);
}

void inject_key(void* hwnd, int vk, bool down) {
  window* w = find_window(hwnd);
  SDL_Event e;
  SDL_zero(e);
  e.type = down ? SDL_KEYDOWN : SDL_KEYUP;
  e.key.windowID = w ? w->sdl_id : 0;
  e.key.state = down ? SDL_PRESSED : SDL_RELEASED;
  e.key.keysym.sym = key_of_vk(vk);
  e.key.keysym.mod = g_ctrl ? KMOD_LCTRL : KMOD_NONE;
  push(e);
}

void inject_text(void* hwnd, const char* cp1251) {
  window* w = find_window(hwnd);
  std::string u = to_utf8(cp1251);
  SDL_Event e;
  SDL_zero(e);
  e.type = SDL_TEXTINPUT;
  e.text.windowID = w ? w->sdl_id : 0;
  strncpy(e.text.text, u.c_str(), sizeof e.text.text - 1);
  push(e);
}

void inject_key_event(void* hwnd, int scancode, int keycode, unsigned mod, bool down) {
  window* w = find_window(hwnd);
  SDL_Event e;
  SDL_zero(e);
  e.type = down ? SDL_KEYDOWN : SDL_KEYUP;
  e.key.windowID = w ? w->sdl_id : 0;
  e.key.state = down ? SDL_PRESSED : SDL_RELEASED;
  e.key.keysym.scancode = (SDL_Scancode)scancode;
  e.key.keysym.sym = (SDL_Keycode)keycode;
  e.key.keysym.mod = (Uint16)mod;
  push(e);
}

void inject_text_utf8(void* hwnd, const char* utf8) {
  window* w = find_window(hwnd);
  SDL_Event e;
  SDL_zero(e);
  e.type = SDL_TEXTINPUT;
  e.text.windowID = w ? w->sdl_id : 0;
  if (utf8) strncpy(e.text.text, utf8, sizeof e.text.text - 1);
  push(e);
}

// A window event of the kind the window manager sends.
static void inject_window_event(void* hwnd, Uint8 event) {
  window* w = find_window(hwnd);
  if (!w) return;
  SDL_Event e;
  SDL_zero(e);
  e.type = SDL_WINDOWEVENT;
  e.window.windowID = w->sdl_id;
  e.window.event = event;
  push(e);
}

void inject_close(void* hwnd) { inject_window_event(hwnd, SDL_WINDOWEVENT_CLOSE); }

void inject_focus(void* hwnd, bool gained) {
  inject_window_event(hwnd, gained ? SDL_WINDOWEVENT_FOCUS_GAINED : SDL_WINDOWEVENT_FOCUS_LOST);
}

}  // namespace plat
