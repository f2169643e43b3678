#include "class/dialogs.h"

#include <cstring>
#include <string>

#include "class/button.h"
#include "class/core.h"
#include "class/draw.h"
#include "platform/platform.h"

const char* SD_OK = "Ок";
const char* SD_CANCEL = "Отмена";
const char* SD_YES = "Да";
const char* SD_NO = "Нет";

unsigned MESSAGES_SHOWN = 0;
tdialog_sink* DIALOG_SINK = nullptr;

void modify_system_dialogs(const char* ok, const char* cancel, const char* yes, const char* no) {
  if (ok) SD_OK = ok;
  if (cancel) SD_CANCEL = cancel;
  if (yes) SD_YES = yes;
  if (no) SD_NO = no;
}

namespace {

const int BOX_LEN = 300, BOX_DOWN = 60;
const int TEXT_X = 44, TEXT_Y = 13, TEXT_MARGIN = 8;
// The dialog frame of a captionless popup, on each side.
const int FRAME = 3;
// Measuring a text costs time in its length; nothing longer than this could
// fit on any screen anyway.
const size_t MEASURE_LIMIT = 16384;

// The text as the box shows it: whole when the widened box fits on the
// screen, else cut so the box spans the screen and ended by an ellipsis.
std::string fitted_text(const char* text) {
  if (!text) return "";
  std::string s(text, strnlen(text, MEASURE_LIMIT));
  int room = plat::screen_width() - 2 * FRAME - TEXT_MARGIN - TEXT_X;
  tfont f("MS Sans Serif", 14);
  if (text[s.size()] == 0 && f.strlen(s.c_str()) <= room) return s;
  const char* ellipsis = "…";
  room -= f.strlen(ellipsis);
  size_t lo = 0, hi = s.size();  // the longest prefix that fits lies in [lo, hi]
  while (lo < hi) {
    size_t mid = (lo + hi + 1) / 2;
    if (f.strlen(s.c_str(), (int)mid) <= room) lo = mid;
    else hi = mid - 1;
  }
  return s.substr(0, lo) + ellipsis;
}

// Widens the box to the text's right edge, keeping its top-left corner, but
// never past the screen's right edge: the button sits at the right and must
// stay reachable.
void widen_to_text(twindow& w) {
  if (XT <= BOX_LEN) return;
  w.size(XT + TEXT_MARGIN, BOX_DOWN);
  plat::rect r;
  plat::get_window_rect(w.hwnd, &r);
  int sw = plat::screen_width();
  if (r.right > sw) {
    int x = sw - (r.right - r.left);
    w.pos(x < 0 ? 0 : x, r.top);
  }
}

}  // namespace

// The body both boxes share: popup, picture, measured text, widened to fit.
struct dialog_box {
  std::string shown;
  twindow w;
  tbitmap picture;
  ttext label;
  dialog_box(const char* text, int picture_id)
      : shown(fitted_text(text)), w(BOX_LEN, BOX_DOWN, 0), picture(4, 4, picture_id),
        label(TEXT_X, TEXT_Y, shown.c_str(), -1) {
    widen_to_text(w);
  }
};

void message(const char* text) {
  MESSAGES_SHOWN++;
  if (DIALOG_SINK) {
    DIALOG_SINK->message(text ? text : "");
    return;
  }
  dialog_box box(text, 230);
  thbutton ok(-94, -23, 232, SD_OK, 90, 20, KEY_ESC, nullptr, 0, nullptr, &cLGRAY);
  plat::beep();
  int ticks = 0;
  for (;;) {
    int c = getkey();
    if (c == KEY_ENTER || c == KEY_ESC || c == CMD_CLOSE) break;
    if (c == CMD_TICK && ++ticks >= 101) break;
  }
}

int yes_no(const char* text) {
  MESSAGES_SHOWN++;
  if (DIALOG_SINK) return DIALOG_SINK->yes_no(text ? text : "") ? 1 : 0;
  dialog_box box(text, 228);
  thbutton yes(-186, -23, 232, SD_YES, 90, 20, KEY_ENTER, nullptr, 0, nullptr, &cLGRAY);
  thbutton no(XBT + 2, -23, 234, SD_NO, 90, 20, KEY_ESC, nullptr, 0, nullptr, &cLGRAY);
  plat::beep();
  for (;;) {
    int c = getkey();
    if (c == KEY_ENTER) return 1;
    if (c == KEY_ESC || c == CMD_CLOSE) return 0;
  }
}

char* rep(char* s) {
  if (!s) return s;
  size_t n = strlen(s);
  while (n > 0 && (s[n - 1] == '\n' || s[n - 1] == '\r' || s[n - 1] == ' ')) n--;
  s[n] = 0;
  return s;
}

// Paths here use '/', stored ones may still use '\'; both separate.
static char* last_separator(char* s) {
  char* a = strrchr(s, '/');
  char* b = strrchr(s, '\\');
  if (!a || !b) return a ? a : b;
  return a > b ? a : b;
}

char* name(char* s) {
  if (!s) return s;
  char* sep = last_separator(s);
  if (sep) memmove(s, sep + 1, strlen(sep + 1) + 1);
  return s;
}

char* path(char* s) {
  if (!s) return s;
  char* sep = last_separator(s);
  if (sep) sep[1] = 0;
  else s[0] = 0;
  return s;
}

void copy_text_to_clipboard(void*, const char* text) {
  if (text) plat::clipboard_set(text);
}

void copy_text_from_clipboard(void*, char* buffer) {
  if (!buffer) return;
  // The limit is read before anything is written: it is the string there now.
  size_t limit = strlen(buffer);
  std::string clip;
  if (!plat::clipboard_get(clip)) return;
  // The clipboard text may hold a zero of its own: copying stops there too.
  size_t n = strnlen(clip.c_str(), limit);
  memcpy(buffer, clip.data(), n);
  buffer[n] = 0;
}
