// Shared between the platform's own files; nothing above the platform sees it.
#pragma once

#include <SDL.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace plat {

struct timer {
  unsigned id;
  unsigned period;
  uint32_t due;
};

struct window {
  SDL_Window* sdl = nullptr;
  uint32_t sdl_id = 0;
  uint32_t style = 0;
  bool popup = false;       // no WM decoration: we draw the frame ourselves
  int frame = 0;            // frame width on every side
  int caption = 0;          // caption height above the client area
  int client_w = 0, client_h = 0;
  window* owner = nullptr;
  bool visible = false;
  bool dirty = false;       // drawn into since the last present
  bool invalid = false;     // needs a paint
  bool erase = false;
  rect inv = {0, 0, 0, 0};
  std::vector<timer> timers;
  std::string caption_text;
  // Insets of the client area inside the SDL window's surface.
  int sx() const { return popup ? frame : 0; }
  int sy() const { return popup ? frame : 0; }
};

struct dc {
  window* w = nullptr;
  bool clipped = false;
  rect clip = {0, 0, 0, 0};
};

// Windows the platform knows, in creation order.
extern std::vector<window*> g_windows;
window* find_window(void* hwnd);
window* window_by_sdl_id(uint32_t id);
bool ensure_video();

// The client area of w as an SDL surface rectangle, and the surface itself.
SDL_Surface* surface_of(window* w);
// Effective clip of a context in surface coordinates (client area and clip).
SDL_Rect clip_of(dc* d);
uint32_t map_color(SDL_Surface* s, uint32_t bgr);
void mark_dirty(window* w);
void draw_frame(window* w);

// The caret is shown only in what reaches the screen, never in the surface.
void caret_overlay(window* w, SDL_Surface* s);
// Milliseconds until the caret next blinks, or -1 when there is none.
int caret_next_blink(uint32_t now);
void caret_window_destroyed(window* w);

// One round of waiting on a helper program in front of our windows (the
// desktop's file chooser): windows that need it are repainted and shown,
// their size and visibility kept current, and everything typed or clicked
// into them is thrown away. Timers do not fire meanwhile.
void modal_pump();

SDL_Surface* picture_surface(void* pic);
void fonts_shutdown();

}  // namespace plat
