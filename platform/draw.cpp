// Raster drawing into window surfaces: rectangles, lines, the focus
// rectangle, the frames of popups, pictures, and pixel read-back.
#include <SDL.h>
#include <SDL_image.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "platform/internal.h"

// Generated from res/*.xpm by the build.
struct veskor_picture_entry {
  int id;
  const char* const* xpm;
};
extern const veskor_picture_entry VESKOR_PICTURES[];

namespace plat {

uint32_t map_color(SDL_Surface* s, uint32_t bgr) {
  return SDL_MapRGB(s->format, bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

SDL_Rect clip_of(dc* d) {
  window* w = d->w;
  int l = 0, t = 0, r = w->client_w, b = w->client_h;
  if (d->clipped) {
    l = std::max(l, d->clip.left);
    t = std::max(t, d->clip.top);
    r = std::min(r, d->clip.right);
    b = std::min(b, d->clip.bottom);
  }
  SDL_Rect c = {l + w->sx(), t + w->sy(), std::max(0, r - l), std::max(0, b - t)};
  return c;
}

static bool inside(const SDL_Rect& c, int x, int y) {
  return x >= c.x && y >= c.y && x < c.x + c.w && y < c.y + c.h;
}

// Raw pixel access in surface coordinates; the caller has checked bounds.
static void put_raw(SDL_Surface* s, int x, int y, uint32_t px) {
  uint8_t* row = (uint8_t*)s->pixels + y * s->pitch;
  switch (s->format->BytesPerPixel) {
    case 4: ((uint32_t*)row)[x] = px; break;
    case 2: ((uint16_t*)row)[x] = (uint16_t)px; break;
    case 1: row[x] = (uint8_t)px; break;
    default: {
      uint8_t* p = row + x * 3;
      p[0] = px & 0xFF;
      p[1] = (px >> 8) & 0xFF;
      p[2] = (px >> 16) & 0xFF;
    }
  }
}

static uint32_t get_raw(SDL_Surface* s, int x, int y) {
  uint8_t* row = (uint8_t*)s->pixels + y * s->pitch;
  switch (s->format->BytesPerPixel) {
    case 4: return ((uint32_t*)row)[x];
    case 2: return ((uint16_t*)row)[x];
    case 1: return row[x];
    default: {
      uint8_t* p = row + x * 3;
      return p[0] | (p[1] << 8) | (p[2] << 16);
    }
  }
}

void fill_rect(void* d_, int left, int top, int right, int bottom, uint32_t color) {
  dc* d = (dc*)d_;
  if (!d || !d->w) return;
  SDL_Surface* s = surface_of(d->w);
  SDL_Rect c = clip_of(d);
  int ox = d->w->sx(), oy = d->w->sy();
  int l = std::max(left + ox, c.x), t = std::max(top + oy, c.y);
  int r = std::min(right + ox, c.x + c.w), b = std::min(bottom + oy, c.y + c.h);
  if (l >= r || t >= b) return;
  SDL_Rect a = {l, t, r - l, b - t};
  SDL_FillRect(s, &a, map_color(s, color));
  mark_dirty(d->w);
}

void set_pixel(void* d_, int x, int y, uint32_t color) {
  dc* d = (dc*)d_;
  if (!d || !d->w) return;
  SDL_Surface* s = surface_of(d->w);
  SDL_Rect c = clip_of(d);
  x += d->w->sx();
  y += d->w->sy();
  if (!inside(c, x, y) || x >= s->w || y >= s->h) return;
  if (SDL_MUSTLOCK(s)) SDL_LockSurface(s);
  put_raw(s, x, y, map_color(s, color));
  if (SDL_MUSTLOCK(s)) SDL_UnlockSurface(s);
  mark_dirty(d->w);
}

void line(void* d_, int x1, int y1, int x2, int y2, uint32_t color) {
  dc* d = (dc*)d_;
  if (!d || !d->w) return;
  SDL_Surface* s = surface_of(d->w);
  SDL_Rect c = clip_of(d);
  c.w = std::min(c.w, s->w - c.x);
  c.h = std::min(c.h, s->h - c.y);
  uint32_t px = map_color(s, color);
  int ox = d->w->sx(), oy = d->w->sy();
  int dx = std::abs(x2 - x1), sx = x1 < x2 ? 1 : -1;
  int dy = -std::abs(y2 - y1), sy = y1 < y2 ? 1 : -1;
  int err = dx + dy;
  int x = x1, y = y1;
  if (SDL_MUSTLOCK(s)) SDL_LockSurface(s);
  // The end point itself is not set.
  while (!(x == x2 && y == y2)) {
    if (inside(c, x + ox, y + oy)) put_raw(s, x + ox, y + oy, px);
    int e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y += sy;
    }
  }
  if (SDL_MUSTLOCK(s)) SDL_UnlockSurface(s);
  mark_dirty(d->w);
}

void focus_rect(void* d_, int left, int top, int right, int bottom) {
  dc* d = (dc*)d_;
  if (!d || !d->w || right <= left || bottom <= top) return;
  SDL_Surface* s = surface_of(d->w);
  SDL_Rect c = clip_of(d);
  c.w = std::min(c.w, s->w - c.x);
  c.h = std::min(c.h, s->h - c.y);
  int ox = d->w->sx(), oy = d->w->sy();
  uint32_t white = SDL_MapRGB(s->format, 255, 255, 255);
  if (SDL_MUSTLOCK(s)) SDL_LockSurface(s);
  auto flip = [&](int x, int y) {
    if (((x + y) & 1) == 0 && inside(c, x + ox, y + oy))
      put_raw(s, x + ox, y + oy, get_raw(s, x + ox, y + oy) ^ white);
  };
  for (int x = left; x < right; x++) {
    flip(x, top);
    if (bottom - 1 != top) flip(x, bottom - 1);
  }
  for (int y = top + 1; y < bottom - 1; y++) {
    flip(left, y);
    if (right - 1 != left) flip(right - 1, y);
  }
  if (SDL_MUSTLOCK(s)) SDL_UnlockSurface(s);
  mark_dirty(d->w);
}

uint32_t get_pixel(void* hwnd, int x, int y) {
  window* w = find_window(hwnd);
  if (!w || x < 0 || y < 0 || x >= w->client_w || y >= w->client_h) return 0xFFFFFFFF;
  SDL_Surface* s = surface_of(w);
  x += w->sx();
  y += w->sy();
  if (x >= s->w || y >= s->h) return 0xFFFFFFFF;
  if (SDL_MUSTLOCK(s)) SDL_LockSurface(s);
  uint32_t px = get_raw(s, x, y);
  if (SDL_MUSTLOCK(s)) SDL_UnlockSurface(s);
  uint8_t r, g, b;
  SDL_GetRGB(px, s->format, &r, &g, &b);
  return (uint32_t)r | ((uint32_t)g << 8) | ((uint32_t)b << 16);
}

bool save_client(void* hwnd, const char* path) {
  window* w = find_window(hwnd);
  if (!w || !path) return false;
  SDL_Surface* s = surface_of(w);
  SDL_Surface* out = SDL_CreateRGBSurfaceWithFormat(0, w->client_w, w->client_h, 32, SDL_PIXELFORMAT_RGB888);
  if (!out) return false;
  SDL_Rect src = {w->sx(), w->sy(), w->client_w, w->client_h};
  SDL_BlitSurface(s, &src, out, nullptr);
  std::string p = path;
  std::string fs = path_to_fs(path);  // the path is cp1251 like every text here
  bool ok = !fs.empty() && (p.size() > 4 && p.compare(p.size() - 4, 4, ".png") == 0
                                ? IMG_SavePNG(out, fs.c_str()) == 0
                                : SDL_SaveBMP(out, fs.c_str()) == 0);
  SDL_FreeSurface(out);
  return ok;
}

// The frames of popups, which no window manager draws: the classic raised
// dialog frame (light and white outside, dark grey and black inside the
// bottom-right), a sizing frame one ring wider, or a thin black border.
void draw_frame(window* w) {
  if (!w->popup || w->frame == 0) return;
  SDL_Surface* s = SDL_GetWindowSurface(w->sdl);
  if (!s) return;
  int W = s->w, H = s->h;
  auto ring = [&](int i, uint32_t tl, uint32_t br) {
    SDL_Rect top = {i, i, W - 2 * i, 1}, left = {i, i, 1, H - 2 * i};
    SDL_Rect bottom = {i, H - 1 - i, W - 2 * i, 1}, right = {W - 1 - i, i, 1, H - 2 * i};
    SDL_FillRect(s, &top, map_color(s, tl));
    SDL_FillRect(s, &left, map_color(s, tl));
    SDL_FillRect(s, &bottom, map_color(s, br));
    SDL_FillRect(s, &right, map_color(s, br));
  };
  const uint32_t face = 0x00C8D0D4, white = 0x00FFFFFF, shadow = 0x00808080, dark = 0x00404040;
  if (w->frame == 1) {
    ring(0, 0, 0);
  } else {
    ring(0, face, dark);
    ring(1, white, shadow);
    for (int i = 2; i < w->frame; i++) ring(i, face, face);
  }
  w->dirty = true;
}

// ---- pictures -----------------------------------------------------------

struct picture {
  SDL_Surface* s;
};

static std::map<int, SDL_Surface*>& picture_cache() {
  static std::map<int, SDL_Surface*> cache;
  return cache;
}

void* load_picture(int id) {
  auto& cache = picture_cache();
  auto it = cache.find(id);
  SDL_Surface* s = nullptr;
  if (it != cache.end()) {
    s = it->second;
  } else {
    for (const veskor_picture_entry* e = VESKOR_PICTURES; e->xpm; e++) {
      if (e->id != id) continue;
      SDL_Surface* raw = IMG_ReadXPMFromArray((char**)e->xpm);
      if (raw) {
        s = SDL_ConvertSurfaceFormat(raw, SDL_PIXELFORMAT_ARGB8888, 0);
        SDL_FreeSurface(raw);
        if (s) SDL_SetSurfaceBlendMode(s, SDL_BLENDMODE_BLEND);
      }
      break;
    }
    if (!s) return nullptr;
    cache[id] = s;
  }
  return new picture{s};
}

void free_picture(void* pic) { delete (picture*)pic; }

SDL_Surface* picture_surface(void* pic) { return pic ? ((picture*)pic)->s : nullptr; }

void picture_size(void* pic, int* w, int* h) {
  SDL_Surface* s = picture_surface(pic);
  if (w) *w = s ? s->w : 0;
  if (h) *h = s ? s->h : 0;
}

void draw_picture(void* d_, int x, int y, void* pic, int sx, int sy, int w, int h) {
  dc* d = (dc*)d_;
  SDL_Surface* src = picture_surface(pic);
  if (!d || !d->w || !src || w <= 0 || h <= 0) return;
  SDL_Surface* s = surface_of(d->w);
  SDL_Rect c = clip_of(d);
  SDL_Rect from = {sx, sy, w, h};
  SDL_Rect to = {x + d->w->sx(), y + d->w->sy(), w, h};
  SDL_SetClipRect(s, &c);
  SDL_BlitSurface(src, &from, s, &to);
  SDL_SetClipRect(s, nullptr);
  mark_dirty(d->w);
}

}  // namespace plat
