// Fonts: faces found through fontconfig, drawn with SDL_ttf in 1-bit mono
// hinting so small Cyrillic text stays crisp.
#include <SDL.h>
#include <SDL_ttf.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

#include "platform/internal.h"

namespace plat {

struct font {
  TTF_Font* ttf;  // shared, owned by the cache
  int height;
};

static std::map<std::tuple<std::string, int, int>, TTF_Font*>& font_cache() {
  static std::map<std::tuple<std::string, int, int>, TTF_Font*> cache;
  return cache;
}

static unsigned g_lookups = 0;

unsigned font_lookups() { return g_lookups; }

// The classic face of the toolkit is not on Linux; a metric-compatible sans
// with full Cyrillic takes its place.
static std::string lookup_face(const std::string& face, bool bold, bool italic) {
  std::string name = face.empty() ? "Liberation Sans" : face;
  if (name == "MS Sans Serif" || name == "Microsoft Sans Serif" || name == "Arial") name = "Liberation Sans";
  static bool fc = FcInit();
  if (!fc) return "";
  g_lookups++;
  FcPattern* p = FcNameParse((const FcChar8*)name.c_str());
  if (!p) return "";
  FcPatternAddInteger(p, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  FcPatternAddInteger(p, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  FcPatternAddBool(p, FC_SCALABLE, FcTrue);
  FcConfigSubstitute(nullptr, p, FcMatchPattern);
  FcDefaultSubstitute(p);
  FcResult r;
  FcPattern* m = FcFontMatch(nullptr, p, &r);
  std::string file;
  if (m) {
    FcChar8* f = nullptr;
    if (FcPatternGetString(m, FC_FILE, 0, &f) == FcResultMatch && f) file = (const char*)f;
    FcPatternDestroy(m);
  }
  FcPatternDestroy(p);
  return file;
}

// Asking fontconfig costs a good part of a millisecond, and elements make
// their fonts as they are made (a grid one per column): each face is looked
// up once. The fonts installed do not change under a running program.
static std::string face_file(const char* face, bool bold, bool italic) {
  static std::map<std::tuple<std::string, bool, bool>, std::string> files;
  auto key = std::make_tuple(std::string(face ? face : ""), bold, italic);
  auto it = files.find(key);
  if (it != files.end()) return it->second;
  std::string file = lookup_face(std::get<0>(key), bold, italic);
  files[key] = file;
  return file;
}

static TTF_Font* open_sized(const std::string& file, int height, int style) {
  auto key = std::make_tuple(file, height, style);
  auto& cache = font_cache();
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  TTF_Font* best = nullptr;
  if (height > 0) {
    // A positive height is the character cell: the largest size whose line
    // height fits it.
    for (int pt = height; pt >= 4 && !best; pt--) {
      TTF_Font* f = TTF_OpenFont(file.c_str(), pt);
      if (!f) break;
      if (TTF_FontHeight(f) <= height) best = f;
      else TTF_CloseFont(f);
    }
  } else {
    best = TTF_OpenFont(file.c_str(), std::max(4, -height));
  }
  if (best) {
    TTF_SetFontHinting(best, TTF_HINTING_MONO);
    TTF_SetFontStyle(best, style);
  }
  cache[key] = best;
  return best;
}

// The toolkit's face is a raster face: asked for a cell height it takes the
// largest of its own cells that fits (height 14 gets the 13-pixel cell of the
// 8-point font), and the layouts were measured with that. Sizing the stand-in
// face to the same cell keeps every caption inside its button ("Открыть
// файл" in 82 pixels).
static int raster_cell(const char* face, int height) {
  static const int cells[] = {37, 29, 24, 20, 16, 13};
  if (!face || (strcmp(face, "MS Sans Serif") != 0 && strcmp(face, "Microsoft Sans Serif") != 0)) return height;
  for (int c : cells)
    if (c <= height) return c;
  return height;
}

void* create_font(const char* face, int height, int, int weight, bool italic) {
  if (!TTF_WasInit() && TTF_Init() != 0) return new font{nullptr, height};
  if (height == 0) height = 14;
  if (height > 0) height = raster_cell(face, height);
  bool bold = weight >= 600;
  std::string file = face_file(face, bold, italic);
  TTF_Font* f = file.empty() ? nullptr : open_sized(file, height, TTF_STYLE_NORMAL);
  return new font{f, height};
}

void delete_font(void* f) { delete (font*)f; }

void fonts_shutdown() {
  for (auto& kv : font_cache())
    if (kv.second) TTF_CloseFont(kv.second);
  font_cache().clear();
}

int text_width(void* f_, const char* text, int n) {
  font* f = (font*)f_;
  if (!f || !f->ttf || !text) return 0;
  std::string u = to_utf8(text, n);
  if (u.empty()) return 0;
  int w = 0, h = 0;
  if (TTF_SizeUTF8(f->ttf, u.c_str(), &w, &h) != 0) return 0;
  return w;
}

int font_height(void* f_) {
  font* f = (font*)f_;
  if (!f) return 0;
  return f->ttf ? TTF_FontHeight(f->ttf) : f->height;
}

void draw_text(void* d_, const rect& r, unsigned format, const char* text, int n, uint32_t color,
               void* f_) {
  dc* d = (dc*)d_;
  font* f = (font*)f_;
  if (!d || !d->w || !f || !f->ttf || !text) return;
  std::string u = to_utf8(text, n);
  if (u.empty()) return;
  SDL_Color c = {(Uint8)(color & 0xFF), (Uint8)((color >> 8) & 0xFF), (Uint8)((color >> 16) & 0xFF), 255};
  SDL_Surface* t = TTF_RenderUTF8_Solid(f->ttf, u.c_str(), c);
  if (!t) return;
  int x = r.left;
  if (format & DT_RIGHT) x = r.right - t->w;
  else if (format & DT_CENTER) x = r.left + (r.right - r.left - t->w) / 2;
  int y = r.top;
  // Vertical centring, honoured only for single lines as on the classic desktop.
  if ((format & 0x20) && (format & 0x04)) y = r.top + (r.bottom - r.top - t->h) / 2;
  SDL_Surface* s = surface_of(d->w);
  SDL_Rect clip = clip_of(d);
  int ox = d->w->sx(), oy = d->w->sy();
  // Text is cut by its rectangle as well as by the context.
  int l = std::max(clip.x, r.left + ox), tp = std::max(clip.y, r.top + oy);
  int rr = std::min(clip.x + clip.w, r.right + ox), b = std::min(clip.y + clip.h, r.bottom + oy);
  if (l < rr && tp < b) {
    SDL_Rect cr = {l, tp, rr - l, b - tp};
    SDL_SetClipRect(s, &cr);
    SDL_Rect to = {x + ox, y + oy, t->w, t->h};
    SDL_BlitSurface(t, nullptr, s, &to);
    SDL_SetClipRect(s, nullptr);
    mark_dirty(d->w);
  }
  SDL_FreeSurface(t);
}

}  // namespace plat
