// Cursors, the caret, the clipboard and the beep.
#include <SDL.h>
#include <dlfcn.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/internal.h"

namespace plat {

// ---- cursors -------------------------------------------------------------

struct cursor {
  int id;
  SDL_Cursor* sdl;
  bool tried;
};

static cursor* g_cursor = nullptr;

static cursor* cursor_slot(int id) {
  static cursor arrow{IDC_ARROW, nullptr, false}, ibeam{IDC_IBEAM, nullptr, false},
      wait{IDC_WAIT, nullptr, false}, sizewe{IDC_SIZEWE, nullptr, false};
  switch (id) {
    case IDC_IBEAM: return &ibeam;
    case IDC_WAIT: return &wait;
    case IDC_SIZEWE:
    case 100:  // the column-resizing cursor resource
      return &sizewe;
    default: return &arrow;
  }
}

void* load_cursor(int id) {
  cursor* c = cursor_slot(id);
  if (!c->tried && ensure_video()) {
    c->tried = true;
    SDL_SystemCursor sc = SDL_SYSTEM_CURSOR_ARROW;
    if (c->id == IDC_IBEAM) sc = SDL_SYSTEM_CURSOR_IBEAM;
    if (c->id == IDC_WAIT) sc = SDL_SYSTEM_CURSOR_WAIT;
    if (c->id == IDC_SIZEWE) sc = SDL_SYSTEM_CURSOR_SIZEWE;
    c->sdl = SDL_CreateSystemCursor(sc);
  }
  return c;
}

void set_cursor(void* c_) {
  cursor* c = (cursor*)c_;
  if (!c) return;
  g_cursor = c;
  if (c->sdl) SDL_SetCursor(c->sdl);
}

void* get_cursor() { return g_cursor; }

int cursor_id(void* c) { return c ? ((cursor*)c)->id : 0; }

// ---- caret ------------------------------------------------------------------

static struct {
  window* w = nullptr;
  int width = 0, height = 0, x = 0, y = 0;
  int hide_count = 1;  // a new caret starts hidden
  bool on = true;
  uint32_t next = 0;
} g_caret;

static const unsigned CARET_BLINK_MS = 530;

void create_caret(void* hwnd, int w, int h) {
  destroy_caret();
  window* win = find_window(hwnd);
  if (!win) return;
  g_caret.w = win;
  g_caret.width = w > 0 ? w : 1;
  g_caret.height = h > 0 ? h : 1;
  g_caret.hide_count = 1;
  g_caret.on = true;
  g_caret.next = tick() + CARET_BLINK_MS;
}

void destroy_caret() {
  if (g_caret.w) mark_dirty(g_caret.w);
  g_caret.w = nullptr;
}

void set_caret_pos(int x, int y) {
  g_caret.x = x;
  g_caret.y = y;
  g_caret.on = true;
  g_caret.next = tick() + CARET_BLINK_MS;
  if (g_caret.w) mark_dirty(g_caret.w);
}

void show_caret() {
  if (g_caret.hide_count > 0) g_caret.hide_count--;
  if (g_caret.w) mark_dirty(g_caret.w);
}

void hide_caret() {
  g_caret.hide_count++;
  if (g_caret.w) mark_dirty(g_caret.w);
}

void caret_window_destroyed(window* w) {
  if (g_caret.w == w) g_caret.w = nullptr;
}

int caret_next_blink(uint32_t now) {
  if (!g_caret.w || g_caret.hide_count > 0) return -1;
  int32_t left = (int32_t)(g_caret.next - now);
  if (left <= 0) {
    g_caret.on = !g_caret.on;
    g_caret.next = now + CARET_BLINK_MS;
    mark_dirty(g_caret.w);
    return 0;
  }
  return left;
}

void caret_overlay(window* w, SDL_Surface* s) {
  if (g_caret.w != w || g_caret.hide_count > 0 || !g_caret.on) return;
  SDL_Rect r = {g_caret.x + w->sx(), g_caret.y + w->sy(), g_caret.width, g_caret.height};
  SDL_Rect client = {w->sx(), w->sy(), w->client_w, w->client_h};
  SDL_Rect a;
  if (!SDL_IntersectRect(&r, &client, &a)) return;
  if (SDL_MUSTLOCK(s)) SDL_LockSurface(s);
  if (s->format->BytesPerPixel == 4) {
    uint32_t mask = SDL_MapRGB(s->format, 255, 255, 255);
    for (int y = a.y; y < a.y + a.h && y < s->h; y++) {
      uint32_t* row = (uint32_t*)((uint8_t*)s->pixels + y * s->pitch);
      for (int x = a.x; x < a.x + a.w && x < s->w; x++) row[x] ^= mask;
    }
  }
  if (SDL_MUSTLOCK(s)) SDL_UnlockSurface(s);
}

// ---- clipboard -------------------------------------------------------------

bool clipboard_set(const char* text) {
  if (!text || !ensure_video()) return false;
  return SDL_SetClipboardText(to_utf8(text).c_str()) == 0;
}

bool clipboard_get(std::string& out) {
  out.clear();
  if (!ensure_video() || !SDL_HasClipboardText()) return false;
  char* t = SDL_GetClipboardText();
  if (!t) return false;
  // Text that is not UTF-8 is no text: nothing of it is guessed at.
  bool ok = is_utf8(t, strlen(t));
  if (ok) out = from_utf8(t);
  SDL_free(t);
  return ok;
}

// ---- beep ------------------------------------------------------------------

// ALSA reports every card it cannot find on stderr, and a machine without
// one is the ordinary case for a bench PC. Its report goes to a handler we
// set in the same library SDL loads, so the beep stays silent there.
extern "C" {
typedef void (*alsa_error_handler)(const char* file, int line, const char* function, int err, const char* fmt, ...);
}
static void alsa_quiet(const char*, int, const char*, int, const char*, ...) {}

static void silence_alsa() {
  void* lib = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
  if (!lib) return;  // no ALSA here: nothing to silence
  auto set = (int (*)(alsa_error_handler))dlsym(lib, "snd_lib_error_set_handler");
  if (set) set(alsa_quiet);
  // The library stays loaded: the handler must outlive every use of it.
}

void beep() {
  static int state = 0;  // 0 untried, 1 ready, -1 no sound here
  static SDL_AudioDeviceID dev = 0;
  if (state == 0) {
    state = -1;
    silence_alsa();
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
      SDL_AudioSpec want, have;
      SDL_zero(want);
      want.freq = 22050;
      want.format = AUDIO_S16SYS;
      want.channels = 1;
      want.samples = 512;
      dev = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
      if (dev) state = 1;
    }
  }
  if (state != 1) return;
  // A short 880 Hz tone with soft edges, like the classic simple beep.
  const int n = 22050 * 15 / 100;
  std::vector<int16_t> buf(n);
  for (int i = 0; i < n; i++) {
    double env = std::min(1.0, std::min(i, n - i) / 400.0);
    buf[i] = (int16_t)(6000 * env * std::sin(2 * M_PI * 880 * i / 22050.0));
  }
  SDL_ClearQueuedAudio(dev);
  SDL_QueueAudio(dev, buf.data(), (Uint32)(buf.size() * sizeof(int16_t)));
  SDL_PauseAudioDevice(dev, 0);
}

}  // namespace plat
