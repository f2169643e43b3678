// The platform layer: the only code that talks to SDL2 and POSIX.
//
// This header is the desktop half (windows, events, drawing, fonts,
// pictures, cursors, caret, clipboard, beep), built on SDL2; it includes
// platform/base.h, the half that needs only POSIX and glibc.
//
// It speaks the toolkit's language: windows and drawing contexts are opaque
// pointers, messages carry the classic window-message numbers and virtual-key
// codes the window procedure tests, texts are Windows-1251, colours are
// 0x00BBGGRR. Everything above this layer is written against these calls only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/base.h"

// Window messages delivered to the window procedure. The numbers are the
// classic ones: programs post them to our windows by number.
enum : unsigned {
  WM_DESTROY = 0x0002,
  WM_SIZE = 0x0005,
  WM_SETFOCUS = 0x0007,
  WM_KILLFOCUS = 0x0008,
  WM_PAINT = 0x000F,
  WM_QUERYENDSESSION = 0x0011,
  WM_ENDSESSION = 0x0016,
  WM_SETCURSOR = 0x0020,
  WM_WINDOWPOSCHANGING = 0x0046,
  WM_COPYDATA = 0x004A,
  WM_KEYDOWN = 0x0100,
  WM_KEYUP = 0x0101,
  WM_CHAR = 0x0102,
  WM_COMMAND = 0x0111,
  WM_SYSCOMMAND = 0x0112,
  WM_TIMER = 0x0113,
  WM_MENUSELECT = 0x011F,
  WM_MOUSEMOVE = 0x0200,
  WM_LBUTTONDOWN = 0x0201,
  WM_LBUTTONUP = 0x0202,
  WM_LBUTTONDBLCLK = 0x0203,  // only as the tray icon's mouse message
  WM_RBUTTONDOWN = 0x0204,
  WM_RBUTTONUP = 0x0205,
  WM_RBUTTONDBLCLK = 0x0206,  // only as the tray icon's mouse message
  // wparam: the signed number of steps the wheel turned, away from the user
  // positive; lparam: the pointer's last screen position.
  WM_MOUSEWHEEL = 0x020A,
  WM_POWERBROADCAST = 0x0218,
  WM_HOTKEY = 0x0312,
  // Nothing of ours sends it and it carries nothing: only its arrival is
  // reported, so a program that posts it can wake a loop on getkey.
  WM_MESSAGE_977 = 977,
  WM_USER = 0x0400,
  // The tray icon's notification; lparam is the mouse message that happened
  // over the icon.
  WM_TRAY_NOTIFY = WM_USER + 100,
};

// System commands (wparam of WM_SYSCOMMAND). The low four bits are the
// system's own, so a command is compared under SC_MASK.
enum : unsigned { SC_MINIMIZE = 0xF020, SC_CLOSE = 0xF060, SC_MASK = 0xFFF0 };

// Power events (wparam of WM_POWERBROADCAST).
enum : unsigned { PBT_APMSUSPEND = 4, PBT_APMRESUMESUSPEND = 7 };

// wparam of WM_ENDSESSION: the query was granted and the session does end.
enum : unsigned { ENDSESSION_ENDING = 1 };

// lparam of key and character messages: the repeat count, which is always
// one here (a held key repeats as separate events).
constexpr long REPEAT_ONCE = 1;

// Mouse key-state flags (wparam of mouse messages).
enum : unsigned { MK_LBUTTON = 1, MK_RBUTTON = 2, MK_SHIFT = 4, MK_CONTROL = 8 };

// Hit-test code of the client area (low word of WM_SETCURSOR's lparam).
enum : int { HTCLIENT = 1 };

// Window styles understood by create_window.
enum : uint32_t {
  WS_OVERLAPPED = 0x00000000,
  WS_POPUP = 0x80000000,
  WS_VISIBLE = 0x10000000,
  WS_CAPTION = 0x00C00000,
  WS_BORDER = 0x00800000,
  WS_DLGFRAME = 0x00400000,
  WS_SYSMENU = 0x00080000,
  WS_THICKFRAME = 0x00040000,
  WS_MINIMIZEBOX = 0x00020000,
  WS_MAXIMIZEBOX = 0x00010000,
  WS_OVERLAPPEDWINDOW = 0x00CF0000,
};

// The position value that asks the platform to choose.
constexpr int CW_USEDEFAULT = (int)0x80000000;

// ShowWindow commands.
enum : int {
  SW_HIDE = 0, SW_SHOWNORMAL = 1, SW_SHOWMINIMIZED = 2, SW_SHOWMAXIMIZED = 3,
  SW_SHOW = 5, SW_MINIMIZE = 6, SW_RESTORE = 9,
};

// The characters that keys type by themselves, outside text input; below
// CH_SPACE no character comes from text input. Ctrl+letter types the
// letter's place in the alphabet, from CH_CTRL_A for Ctrl+A.
enum : int { CH_CTRL_A = 1, CH_BACKSPACE = 8, CH_TAB = 9, CH_RETURN = 13, CH_ESCAPE = 27, CH_SPACE = 32 };

// Virtual-key codes. Letters and digits are their upper-case ASCII
// characters, as on the classic desktop.
enum : int {
  VK_BACK = 8, VK_TAB = 9, VK_RETURN = 13, VK_SHIFT = 16, VK_CONTROL = 17,
  VK_MENU = 18, VK_ESCAPE = 27, VK_SPACE = 32, VK_PRIOR = 33, VK_NEXT = 34,
  VK_END = 35, VK_HOME = 36, VK_LEFT = 37, VK_UP = 38, VK_RIGHT = 39,
  VK_DOWN = 40, VK_INSERT = 45, VK_DELETE = 46, VK_F1 = 112, VK_F12 = 123,
};

// DrawText alignment flags.
enum : unsigned { DT_LEFT = 0, DT_CENTER = 1, DT_RIGHT = 2 };

// Standard cursors.
enum : int { IDC_ARROW = 32512, IDC_IBEAM = 32513, IDC_WAIT = 32514, IDC_SIZEWE = 32644 };

namespace plat {

struct rect {
  int left, top, right, bottom;
};

// Two 16-bit halves in one message parameter, the low word first, as the
// classic messages pack them; the result is never sign-extended.
inline long make_long(unsigned low, unsigned high) {
  return (long)(((high & 0xFFFFu) << 16) | (low & 0xFFFFu));
}
inline unsigned low_word(unsigned long v) { return (unsigned)(v & 0xFFFFu); }
inline unsigned high_word(unsigned long v) { return (unsigned)((v >> 16) & 0xFFFFu); }
// A position as mouse messages carry it: x low, y high, each signed, so a
// pointer left of or above the client area reads negative.
inline long pack_point(int x, int y) { return make_long((unsigned)x, (unsigned)y); }
inline int point_x(long lparam) { return (short)low_word((unsigned long)lparam); }
inline int point_y(long lparam) { return (short)high_word((unsigned long)lparam); }

// What WM_WINDOWPOSCHANGING's lparam points to: the proposed outer rectangle.
struct windowpos {
  void* hwnd;
  int x, y, cx, cy;
};

// ---- windows ------------------------------------------------------------
// Starts the video on a display the user can see: the window system's, or
// the driver named in SDL_VIDEODRIVER, which is taken as it is asked for
// (tests ask for "dummy"). False when there is none. Unlike the windows'
// own start-up, which falls back to an invisible driver so that logic runs
// anywhere, this never does: the window tool calls it first and leaves
// when it fails, instead of running on unseen.
bool open_display();

typedef long (*wndproc_t)(void* hwnd, unsigned msg, unsigned long wparam, long lparam);

// Registers the one window class. bg is the colour the background is erased
// with before a paint. Returns a non-zero atom.
unsigned short register_class(const char* name, wndproc_t proc, int icon, uint32_t bg);

// x, y, w, h: the outer rectangle in screen coordinates (CW_USEDEFAULT for x
// lets the platform choose). The window starts hidden.
void* create_window(const char* class_name, const char* caption, uint32_t style,
                    int x, int y, int w, int h, void* owner);
void destroy_window(void* hwnd);
bool is_window(void* hwnd);
void set_caption(void* hwnd, const char* caption);
void show_window(void* hwnd, int cmd);
bool is_visible(void* hwnd);
bool is_minimized(void* hwnd);
// Paints the window at once if part of it is invalid.
void update_window(void* hwnd);

void get_window_rect(void* hwnd, rect* r);  // outer, screen coordinates
void get_client_rect(void* hwnd, rect* r);  // 0, 0, width, height
// Outer rectangle in screen coordinates; the window repaints if repaint.
void move_window(void* hwnd, int x, int y, int w, int h, bool repaint);

int screen_width();
int screen_height();
int caption_height();
uint32_t menu_color();

void set_foreground(void* hwnd);
void* get_foreground();
void set_focus(void* hwnd);
void* get_focus();
void set_capture(void* hwnd);
void release_capture();
void* get_capture();

void set_timer(void* hwnd, unsigned id, unsigned period_ms);
void kill_timer(void* hwnd, unsigned id);

// r null: the whole client area.
void invalidate(void* hwnd, const rect* r, bool erase);

// Sends a message to the window procedure at once.
long send_message(void* hwnd, unsigned msg, unsigned long wparam, long lparam);
// Processing of messages the toolkit leaves to the platform.
long def_window_proc(void* hwnd, unsigned msg, unsigned long wparam, long lparam);

// Waits for the next platform event and dispatches what it becomes. Pending
// drawing is presented before waiting. Returns false when quit was posted.
bool get_message();
// Dispatches one pending event if there is one; never waits.
bool peek_message();
void post_quit();
// Puts every window's drawing on screen.
void present();

// ---- drawing contexts -----------------------------------------------------
void* get_dc(void* hwnd);
void release_dc(void* hwnd, void* dc);
// Restricts drawing through this context to r (client coordinates); null
// removes the restriction.
void set_clip(void* dc, const rect* r);
void* dc_window(void* dc);
// The context of a paint: clipped to the invalid area, background erased
// when the invalidation asked for it.
void* begin_paint(void* hwnd);
void end_paint(void* hwnd, void* dc);

// Fills left <= x < right, top <= y < bottom.
void fill_rect(void* dc, int left, int top, int right, int bottom, uint32_t color);
void set_pixel(void* dc, int x, int y, uint32_t color);
// A one-pixel line with the end point left out, as a classic LineTo draws it.
void line(void* dc, int x1, int y1, int x2, int y2, uint32_t color);
// The dotted focus rectangle, drawn by inverting every other pixel.
void focus_rect(void* dc, int left, int top, int right, int bottom);
// Client-area pixel as 0x00BBGGRR; for tests and screenshots.
uint32_t get_pixel(void* hwnd, int x, int y);
// Saves the client area as a BMP file, PNG when the cp1251 path ends in
// ".png" (tests and documentation).
bool save_client(void* hwnd, const char* path);

// ---- fonts --------------------------------------------------------------
void* create_font(const char* face, int height, int escapement, int weight, bool italic);
void delete_font(void* font);
int text_width(void* font, const char* text, int n = -1);
int font_height(void* font);
// Text inside the rectangle, cut by it (and by the context's clip).
void draw_text(void* dc, const rect& r, unsigned format, const char* text, int n,
               uint32_t color, void* font);

// ---- pictures -----------------------------------------------------------
void* load_picture(int id);  // null when there is no such picture
void free_picture(void* pic);
void picture_size(void* pic, int* w, int* h);
// Copies the part sx, sy, w, h of the picture to x, y.
void draw_picture(void* dc, int x, int y, void* pic, int sx, int sy, int w, int h);

// ---- cursors and caret --------------------------------------------------
void* load_cursor(int id);
void set_cursor(void* cursor);
void* get_cursor();
int cursor_id(void* cursor);

void create_caret(void* hwnd, int w, int h);
void destroy_caret();
void set_caret_pos(int x, int y);
void show_caret();
void hide_caret();

// ---- clipboard, sound ---------------------------------------------------
bool clipboard_set(const char* cp1251);
// False when the clipboard holds no text.
bool clipboard_get(std::string& cp1251);
// A short tone; silently nothing where there is no sound device.
void beep();

// ---- child processes ----------------------------------------------------
// run_child (platform/base.h) as a modal dialog waits: our windows keep
// repainting, and whatever is typed or clicked into them meanwhile is thrown
// away; the window that had the focus gets it back. True when the program
// ran and exited by itself (exit_code gets its status); false when it could
// not start or died of a signal.
bool run_capture(const char* const argv[], std::string& out, int* exit_code,
                 size_t limit = 65536);

// ---- session ----------------------------------------------------------
// SIGTERM, SIGHUP and SIGINT become an end-of-session query to the newest
// window the next time the pump runs (a second signal before that ends the
// process at once).
void install_session_signals();

// ---- tests --------------------------------------------------------------
// Push synthetic input through the same translation as real events.
void inject_mouse_move(void* hwnd, int x, int y);
void inject_mouse_button(void* hwnd, int x, int y, int button /*1 left, 3 right*/, bool down);
void inject_wheel(void* hwnd, int dy);
void inject_key(void* hwnd, int vk, bool down);
void inject_text(void* hwnd, const char* cp1251);
// A key as the keyboard layout reports it: SDL's scancode (the physical key),
// keycode (what the layout puts on it) and modifier state (KMOD_*).
void inject_key_event(void* hwnd, int scancode, int keycode, unsigned mod, bool down);
// Text as the input method hands it over: UTF-8 bytes, not checked.
void inject_text_utf8(void* hwnd, const char* utf8);
void inject_close(void* hwnd);
void inject_focus(void* hwnd, bool gained);
// How many times a face has been looked up in fontconfig so far.
unsigned font_lookups();

}  // namespace plat

