#include "class/popup.h"

#include <cstdarg>
#include <vector>

#include "class/button.h"
#include "class/core.h"
#include "class/draw.h"
#include "platform/platform.h"

namespace {

struct item {
  bool separator;
  bool disabled;
  const char* shown;
};

item parse(const char* text) {
  item f{false, false, text ? text : ""};
  if (*f.shown == '|') {
    f.separator = true;
    f.shown++;
  }
  if (*f.shown == '!') {
    f.disabled = true;
    f.shown++;
  } else if (*f.shown == '#') {
    f.shown++;
  }
  return f;
}

// A list's elements, destroyed newest first as the registry requires.
struct parts {
  std::vector<tobject*> v;
  ~parts() {
    while (!v.empty()) {
      delete v.back();
      v.pop_back();
    }
  }
};

// The list's loop: the index of the chosen item (codes 500 to last), or -1.
int choose(twindow& w, int last) {
  for (;;) {
    int c = getkey();
    if (c >= 500 && c <= last) return c - 500;
    if (c == CMD_CLOSE || c == KEY_ESC || c == CMD_MOUSE_LUP || c == CMD_FOCUS_LOST) return -1;
    // A list that went behind its owner could not be reached any more.
    if (c == CMD_TICK) plat::set_foreground(w.hwnd);
  }
}

}  // namespace

void client_to_screen(int* x, int* y) {
  plat::rect o, c;
  plat::get_window_rect(THWND, &o);
  plat::get_client_rect(THWND, &c);
  int frame = ((o.right - o.left) - c.right) / 2;
  *x += o.left + frame;
  *y += o.bottom - frame - c.bottom;
}

int popup_list(int x, int y, int width, int count, const int* pictures, const char* const* texts) {
  if (count <= 0 || !texts) return -1;
  std::vector<item> items;
  int down = 0;
  for (int i = 0; i < count; i++) {
    items.push_back(parse(texts[i]));
    down += 20 + (items.back().separator ? 4 : 0);
  }
  twindow w(x, y, width, down, 4);
  parts p;
  int top = 0;
  for (int i = 0; i < count; i++) {
    if (items[i].separator) {
      p.v.push_back(new tbox(0, top + 1, width, 1, &cBLACK));
      p.v.push_back(new tbox(0, top + 2, width, 1, &cWHITE));
      top += 4;
    }
    thbutton* b = new thbutton(0, top, pictures ? pictures[i] : 0, items[i].shown, width, 20, 500 + i, nullptr, 0,
                               nullptr, &cLGRAY);
    p.v.push_back(b);
    if (items[i].disabled) b->off();
    top += 20;
  }
  return choose(w, 515);
}

int wpopup_list(int x, int y, tobject* field, int count, const char* const* texts) {
  if (count <= 0 || !texts || !field) return -1;
  std::vector<item> items;
  int down = 0;
  for (int i = 0; i < count; i++) {
    items.push_back(parse(texts[i]));
    down += 14 + (items.back().separator ? 1 : 0);
  }
  int width = field->len() + 2;
  twindow w(x, y, width, down, 2);
  parts p;
  int top = 0;
  for (int i = 0; i < count; i++) {
    if (items[i].separator) {
      p.v.push_back(new tbox(0, top, width, 1, &cBLACK));
      top += 1;
    }
    ttbutton* b = new ttbutton(0, top, 0, items[i].shown, width, 14, 500 + i, nullptr, 5, nullptr, &cWHITE);
    p.v.push_back(b);
    if (items[i].disabled) b->off();
    top += 14;
  }
  return choose(w, 531);
}

int popup(int x, int y, int width, int count, ...) {
  std::vector<int> pictures;
  std::vector<const char*> texts;
  va_list ap;
  va_start(ap, count);
  for (int i = 0; i < count; i++) {
    pictures.push_back(va_arg(ap, int));
    texts.push_back(va_arg(ap, const char*));
  }
  va_end(ap);
  return popup_list(x, y, width, count, pictures.data(), texts.data());
}

int popup(int width, int count, ...) {
  std::vector<int> pictures;
  std::vector<const char*> texts;
  va_list ap;
  va_start(ap, count);
  for (int i = 0; i < count; i++) {
    pictures.push_back(va_arg(ap, int));
    texts.push_back(va_arg(ap, const char*));
  }
  va_end(ap);
  int x = MOUSE_X, y = MOUSE_Y;
  client_to_screen(&x, &y);
  return popup_list(x, y, width, count, pictures.data(), texts.data());
}

int wpopup(int x, int y, tobject* field, int count, ...) {
  std::vector<const char*> texts;
  va_list ap;
  va_start(ap, count);
  for (int i = 0; i < count; i++) texts.push_back(va_arg(ap, const char*));
  va_end(ap);
  return wpopup_list(x, y, field, count, texts.data());
}

int wpopup(tobject* field, int count, ...) {
  std::vector<const char*> texts;
  va_list ap;
  va_start(ap, count);
  for (int i = 0; i < count; i++) texts.push_back(va_arg(ap, const char*));
  va_end(ap);
  if (!field) return -1;
  return wpopup_list(field->x() + 1, field->y() + TYCAPTION, field, count, texts.data());
}
