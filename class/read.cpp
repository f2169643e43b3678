#include "class/read.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "class/calendar.h"
#include "class/dialogs.h"
#include "class/popup.h"
#include "class/sync.h"
#include "platform/platform.h"

const char* sSD_CUT = "#Вырезать";
const char* sSD_COPY = "#Копировать";
const char* sSD_PASTE = "#Вставить";
const char* sSD_DEL = "#Удалить";
const char* sSD_SELECT = "|#Выделить все";

namespace {

int length(ttext* t) { return (int)std::strlen(t->TXT); }

void show_cursor(int id) { set_cursor(plat::load_cursor(id)); }

// Whether the field takes character c: never a control character, in
// mode 1 only what numbers, dates and times are written with, with
// DIGIT_ONLY only digits.
bool accepts(ttext* t, int mode, int c) {
  if (c < 32 || c > 255 || c == 127) return false;
  bool digit = c >= '0' && c <= '9';
  if (t->DIGIT_ONLY && !digit) return false;
  if (mode == 1 && !digit && !std::strchr(" ,-.:", c)) return false;
  return true;
}

// The end of the text: the index after the last character other than a
// blank among 0 .. L-2, so that a caret put there is always in the field.
int end_of_text(ttext* t) {
  for (int i = length(t) - 2; i >= 0; i--)
    if (t->TXT[i] != ' ') return i + 1;
  return 0;
}

// The index after the last character other than a blank, the last
// position included.
int end_of_content(ttext* t) {
  for (int i = length(t) - 1; i >= 0; i--)
    if (t->TXT[i] != ' ') return i + 1;
  return 0;
}

// The edit in progress: the text, where the caret is, and what is put back
// when it ends.
class editor {
 public:
  editor(ttext* text, int mode, tnull& field)
      : t(text), mode(mode), L(length(text)), field(field), click(0), old_parent(text->OBJ),
        old_len(text->LEN), old_xsm(text->XSM), old_type(text->TYPE) {
    // The text scrolls inside the field: the field's rectangle clips it.
    field.hwnd = t->hwnd;
    t->OBJ = &field;
    t->TYPE = 0;
    show_cursor(IDC_IBEAM);
    plat::create_caret(t->hwnd, 2, t->down() - 2);
    // The press that started an edit must be released before dragging
    // selects; an edit started without the button held may drag at once.
    drag = !MOUSE_LBUTTON;
  }

  void start(int start) {
    t->SSEL = t->ESEL = 0;
    if (start <= -2) {
      int e = end_of_content(t);
      if (e > 0) {
        t->SSEL = 0;
        t->ESEL = e;
      }
      k = std::min(e, std::max(L - 1, 0));
    } else {
      k = start == -1 ? pointer_index() : std::min(start, std::max(L - 1, 0));
      k = std::min(k, end_of_text(t));
    }
    anchor = k;
    t->update();
    place();
  }

  // Acts on one code; returns the code that ends the edit, or 0.
  int act(int c) {
    switch (c) {
      case KEY_BACKSPACE:
        if (selection()) {
          remove();
        } else if (k > 0) {
          delete_char(t, k - 1);
          k--;
        }
        t->update();
        break;
      case KEY_DELETE:
        if (selection()) remove();
        else delete_char(t, k);
        t->update();
        break;
      case KEY_LEFT:
        if (k == 0) return 0;
        unselect();
        k--;
        break;
      case KEY_RIGHT:
        if (k >= L - 1) return 0;
        unselect();
        k++;
        break;
      case KEY_HOME:
        unselect();
        k = 0;
        break;
      case KEY_END:
        unselect();
        k = end_of_text(t);
        break;
      case KEY_TAB: case KEY_ENTER: case KEY_ESC:
      case KEY_F1: case KEY_F2: case KEY_F3: case KEY_F4: case KEY_F5: case KEY_F6: case KEY_F7:
      case KEY_F9: case KEY_F10:
      case KEY_PAGE_UP: case KEY_PAGE_DOWN: case KEY_UP: case KEY_DOWN:
      case CMD_CLOSE: case CMD_RESIZED: case CMD_MINIMIZED: case CMD_RESERVED_393:
        return finish(c);
      case CMD_MOUSE_LDOWN:
        if (_HWND != t->hwnd) return 0;
        if (!field.mouse_inside()) {
          finish(CMD_PRESS_OUTSIDE);
          // The press was meant for whatever lies under it.
          unget_key(CMD_MOUSE_LDOWN, _HWND, _WPARAM, _LPARAM, _MESSAGE);
          return CMD_PRESS_OUTSIDE;
        }
        if (click != 0 && !(t->SSEL == 0 && t->ESEL >= L)) {
          t->SSEL = 0;
          t->ESEL = L;
        } else {
          k = std::min(pointer_index(), end_of_text(t));
          anchor = k;
          t->SSEL = t->ESEL = k;
        }
        t->update();
        click = 4;
        break;
      case CMD_MOUSE_LUP:
        if (_HWND == t->hwnd) drag = true;
        return 0;
      case CMD_MOUSE_MOVE:
        if (_HWND != t->hwnd) return 0;
        if (MOUSE_LBUTTON && drag) {
          int i = std::min(pointer_index(), end_of_text(t));
          if (i == k) return 0;
          k = i;
          int s = std::min(anchor, i), e = std::max(anchor, i);
          if (s != t->SSEL || e != t->ESEL) {
            t->SSEL = s;
            t->ESEL = e;
            t->update();
          }
        } else {
          show_cursor(field.mouse_inside() ? IDC_IBEAM : IDC_ARROW);
          return 0;
        }
        break;
      case CMD_MOUSE_RDOWN:
        if (_HWND != t->hwnd) return 0;
        context_menu();
        break;
      default:
        if (!accepts(t, mode, c) || L == 0) return 0;
        if (selection()) remove();
        insert_char(t, k);
        t->TXT[k] = (char)c;
        if (k < L - 1) k++;
        t->update();
        break;
    }
    place();
    return 0;
  }

 private:
  ttext* t;
  int mode;
  int L;
  tnull& field;
  ttimer click;  // a press while it runs is the second of a double click
  tobject* old_parent;
  int old_len, old_xsm;
  char old_type;
  int k = 0, anchor = 0;
  bool drag;

  bool selection() { return t->SSEL < t->ESEL && t->ESEL > 0 && t->SSEL < L; }

  void unselect() {
    if (t->SSEL == t->ESEL) return;
    bool shown = selection();
    t->SSEL = t->ESEL = 0;
    if (shown) t->update();
  }

  // Removes the selection; the caret goes to where it began.
  void remove() {
    remove_selection(t);
    k = std::min(std::max(t->SSEL, 0), std::max(L - 1, 0));
    t->SSEL = t->ESEL = 0;
  }

  // The largest index whose left edge lies left of the pointer.
  int pointer_index() {
    int d = MOUSE_X - t->x();
    int i = 0;
    while (i + 1 <= L - 1 && len_str(t, i + 1) < d) i++;
    return i;
  }

  // Keeps the character at the caret inside the field: the text moves
  // while its right edge stays where it is.
  void scroll() {
    int left = field.x(), right = field.x() + field.len();
    int d = 0;
    int cx = t->x() + len_str(t, k);
    if (cx < left) {
      d = left - cx;
    } else {
      int rx = t->x() + len_str(t, k + 1);
      if (rx > right) d = right - rx;
    }
    if (!d) return;
    t->XSM += d;
    // An edge-anchored length follows the left edge by itself.
    if (t->LEN >= 0) t->LEN -= d;
    t->update();
  }

  void place() {
    scroll();
    put_cur(t, k);
  }

  int finish(int code) {
    plat::hide_caret();
    plat::destroy_caret();
    t->TYPE = old_type;
    t->OBJ = old_parent;
    t->LEN = old_len;
    t->XSM = old_xsm;
    t->SSEL = t->ESEL = 0;
    t->update();
    show_cursor(IDC_ARROW);
    return code;
  }

  static std::string flagged(const char* text, bool usable) {
    std::string s = text && *text ? text : " ";
    s[0] = usable ? '#' : '!';
    return s;
  }

  void context_menu() {
    bool sel = selection();
    // What a password field hides must not go where every program can read
    // it.
    bool readable = sel && !t->PASS_STR;
    std::string cut = flagged(sSD_CUT, readable), copy = flagged(sSD_COPY, readable),
                paste = flagged(sSD_PASTE, true), del = flagged(sSD_DEL, sel);
    const int pictures[5] = {238, 236, 240, 242, 244};
    const char* texts[5] = {cut.c_str(), copy.c_str(), paste.c_str(), del.c_str(), sSD_SELECT ? sSD_SELECT : ""};
    int x = MOUSE_X, y = MOUSE_Y;
    client_to_screen(&x, &y);
    int choice = popup_list(x, y, 120, 5, pictures, texts);
    switch (choice) {
      case 0:
        if (!readable) break;
        copy_selection_to_clipboard(t);
        remove();
        break;
      case 1:
        if (readable) copy_selection_to_clipboard(t);
        break;
      case 2: {
        if (sel) remove();
        if (L == 0) break;
        int n = insert_string_from_clipboard(t, k, mode);
        k = std::min(k + n, L - 1);
        break;
      }
      case 3:
        if (sel) remove();
        break;
      case 4:
        t->SSEL = 0;
        t->ESEL = L;
        break;
      default:
        return;
    }
    t->update();
  }
};

}  // namespace

// ---- helpers ---------------------------------------------------------------------

int len_str(ttext* text, int n) {
  const char* shown = text->pass_text();
  int l = (int)std::strlen(shown);
  n = std::max(0, std::min(n, l));
  return n ? text->FONT->strlen(shown, n) : 0;
}

void put_cur(ttext* text, int n) {
  plat::set_caret_pos(text->x() + len_str(text, n), text->y() + 1);
  plat::show_caret();
}

void insert_char(ttext* text, int p) {
  int l = length(text);
  if (p < 0 || p >= l) return;
  std::memmove(text->TXT + p + 1, text->TXT + p, l - 1 - p);
  text->TXT[p] = ' ';
}

void delete_char(ttext* text, int p) {
  int l = length(text);
  if (p < 0 || p >= l) return;
  std::memmove(text->TXT + p, text->TXT + p + 1, l - 1 - p);
  text->TXT[l - 1] = ' ';
}

void remove_selection(ttext* text) {
  int l = length(text);
  int s = std::max(text->SSEL, 0), e = std::min(text->ESEL, l);
  if (s >= e) return;
  int n = e - s;
  std::memmove(text->TXT + s, text->TXT + e, l - e);
  std::memset(text->TXT + l - n, ' ', n);
}

void copy_selection_to_clipboard(ttext* text) {
  int l = length(text);
  int s = std::max(text->SSEL, 0), e = std::min(text->ESEL, l);
  if (s >= e) return;
  std::string sel(text->TXT + s, e - s);
  copy_text_to_clipboard(text->hwnd, sel.c_str());
}

int insert_string_from_clipboard(ttext* text, int p, int mode) {
  int l = length(text);
  if (p < 0 || p >= l) return 0;
  // The buffer's length is the most the clipboard helper copies; what it
  // is filled with is a control character, dropped below, so a clipboard
  // without text inserts nothing.
  std::string room(l - p, '\x01');
  copy_text_from_clipboard(text->hwnd, &room[0]);
  int n = 0;
  for (const char* c = room.c_str(); *c && p + n < l; c++) {
    if (!accepts(text, mode, (unsigned char)*c)) continue;
    insert_char(text, p + n);
    text->TXT[p + n] = *c;
    n++;
  }
  return n;
}

int read_string(ttext* text, int mode, int start) {
  if (!text || !text->TXT) return KEY_ESC;
  tnull field(text->x(), text->y(), text->len(), text->down());
  editor e(text, mode, field);
  e.start(start);
  for (;;) {
    int end = e.act(getk());
    if (end) return end;
  }
}

// ---- tread ---------------------------------------------------------------------

tread::tread(ttext* text, int key) : TXT(text), KEY(key), STATUS(1), LKEY(0), SELECTED(false), FROM_START(false) {
  TXT->color(&cBLACK, &cWHITE);
  set_object(this);
}

tread::~tread() {
  if (STATUS == 2) show_cursor(IDC_ARROW);
  reset_object();
}

void tread::read(int start) {
  if (VISIBLE && ACTIVATE) set_key(KEY, hwnd, (unsigned)KEY, start, WM_CHAR);
}

int tread::x() { return TXT->x(); }
int tread::y() { return TXT->y(); }
int tread::len() { return TXT->len(); }
int tread::down() { return TXT->down(); }

void tread::show(bool redraw) {
  VISIBLE = true;
  TXT->show(redraw);
}

void tread::hide(bool redraw) {
  VISIBLE = false;
  TXT->hide(redraw);
}

void tread::on() {
  if (ACTIVATE) return;
  ACTIVATE = true;
  TXT->color(&cBLACK, &cWHITE);
}

void tread::off() {
  if (!ACTIVATE) return;
  ACTIVATE = false;
  TXT->color(&cBLACK, &cLGRAY);
}

int tread::message(int code) {
  if (code >= CMD_MOUSE_MOVE && code <= CMD_MOUSE_LUP) {
    if (TXT->mouse_inside()) {
      if (code == CMD_MOUSE_MOVE && STATUS == 1) {
        show_cursor(IDC_IBEAM);
        STATUS = 2;
      } else if (code == CMD_MOUSE_LDOWN) {
        edit(FROM_START ? 0 : SELECTED ? -2 : -1);
        return KEY;
      }
    } else if (STATUS >= 2) {
      show_cursor(IDC_ARROW);
      STATUS = 1;
    }
    return 0;
  }
  if (KEY != 0 && code == KEY) {
    edit((int)_LPARAM);
    return KEY;
  }
  return 0;
}

// The number as it is edited: left-aligned, no trailing zeros, in a field
// of the text's length.
static std::string number_for_editing(double value, int l) {
  char s[512];
  snprintf(s, sizeof s, "%.06f", value);
  std::string n = s;
  if (n.find('.') != std::string::npos) {
    while (!n.empty() && n.back() == '0') n.pop_back();
    if (!n.empty() && n.back() == '.') n.pop_back();
  }
  std::string f(l, ' ');
  f.replace(0, std::min((int)n.size(), l), n, 0, std::min((int)n.size(), l));
  return f;
}

// Blanks are digit groups and "," is a decimal point as well as ".".
static double number_from_text(const char* text) {
  std::string s;
  for (const char* c = text; *c; c++) {
    if (*c == ' ') continue;
    s += *c == ',' ? '.' : *c;
  }
  return std::strtod(s.c_str(), nullptr);
}

void tread::edit(int start) {
  switch (TXT->TYPE) {
    case 1: {
      STATUS = 3;
      double value = TXT->DIGIT;
      std::string before = number_for_editing(value, length(TXT));
      *TXT << before.c_str();
      LKEY = read_string(TXT, 1, 0);
      // Unchanged, the number keeps its full value: the edited form may have
      // had to cut decimals to fit.
      if (before != TXT->TXT) value = number_from_text(TXT->TXT);
      *TXT << value;
      STATUS = 1;
      show_cursor(IDC_ARROW);
      break;
    }
    case 2: {
      STATUS = 3;
      show_cursor(IDC_ARROW);
      tdate d = get_date(TXT->x(), TXT->y() + TYCAPTION + TXT->down() + 4, TXT->DATE);
      *TXT << d;
      STATUS = 1;
      break;
    }
    case 3: {
      STATUS = 3;
      LKEY = read_string(TXT, 1, start);
      ttime t;
      t = (const char*)TXT->TXT;
      *TXT << t;
      STATUS = 1;
      show_cursor(IDC_ARROW);
      break;
    }
    default:
      STATUS = 3;
      LKEY = read_string(TXT, 0, start);
      STATUS = 1;
      show_cursor(IDC_ARROW);
      break;
  }
}
