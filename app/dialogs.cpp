#include "app/dialogs.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "class/class.h"
#include "workflow/session_board.h"

namespace {

const int DIALOG_LEN = 264, DIALOG_DOWN = 57;
const int FIELD_X = 114, FIELD_Y = 8;
// The password and the address are typed into 16 characters: what the
// device takes, and the longest dotted address.
const char* const FIELD_BLANKS = "                ";
const int FIELD_CHARS = 16;
const int FIELD_LEN = 140;
const int FIRST_FIELD_KEY = 1001;

// One input field: the text that holds what is typed, its sunken frame and
// the line editor over it, made and destroyed in that order.
struct field {
  ttext tp;
  tborder bp;
  tread rp;
  field(int x, const char* text, int len, char frame, int key)
      : tp(x, FIELD_Y, text, len), bp(&tp, frame), rp(&tp, key) {}
};

// A dialog's window takes the foreground as soon as it is made.
struct foreground_window : twindow {
  explicit foreground_window(const char* caption) : twindow(DIALOG_LEN, DIALOG_DOWN, caption, 0, 0) {
    foreground();
  }
};

// The window and the label every dialog starts with.
struct dialog_window {
  foreground_window w;
  ttext t1;
  dialog_window(const char* caption, const char* label) : w(caption), t1(8, 8, label, -1) {}
};

// The frame and the two buttons every dialog ends with; made after the
// fields, as the buttons' places follow from each other.
struct dialog_buttons {
  tborder bt;
  thbutton b0;
  thbutton b1;
  dialog_buttons()
      : bt(4, 4, -5, -29, 1),
        b0(-185, -23, 232, "Ok", 90, 20, KEY_ENTER, nullptr, 0, nullptr, &cLGRAY),
        b1(XBT + 2, -23, 234, "Отмена", 90, 20, KEY_ESC, nullptr, 0, nullptr, &cLGRAY) {}
};

// The loop all three dialogs share: editing starts in the first field, Tab
// moves on to the next (the last one wraps to the first), Enter in a field
// confirms, any other key that ends an edit leaves the dialog open with
// nothing being edited. 0 when confirmed, -2 otherwise.
int run_dialog(tread* const* fields, int n) {
  fields[0]->read(0);
  for (;;) {
    int code = getkey();
    if (code == KEY_ENTER) return 0;
    if (code == KEY_ESC || code == CMD_CLOSE) return -2;
    for (int i = 0; i < n; i++) {
      if (code != fields[i]->KEY) continue;
      if (fields[i]->LKEY == KEY_TAB) fields[(i + 1) % n]->read(-2);
      else if (fields[i]->LKEY == KEY_ENTER) return 0;
      break;
    }
  }
}

// The field's text, at most FIELD_CHARS characters, into out.
void copy_field(char* out, const ttext& tp) {
  size_t n = strnlen(tp.TXT, FIELD_CHARS);
  memcpy(out, tp.TXT, n);
  out[n] = 0;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

}  // namespace

// The window and veskorctl must send a typed password alike.
void normalise_password(char* password) {
  std::string p = device_password(password);
  memcpy(password, p.data(), FIELD_CHARS);
  password[FIELD_CHARS] = 0;
}

unsigned char mac_field_value(const char* text) {
  int hi = text[0] ? hex_value(text[0]) : 0;
  int lo = text[0] && text[1] ? hex_value(text[1]) : 0;
  return (unsigned char)(hi * 16 + lo);
}

int get_password(char* password) {
  int result;
  {
    dialog_window d("Введите пароль", "Пароль");
    field f(FIELD_X, FIELD_BLANKS, FIELD_LEN, (char)-2, FIRST_FIELD_KEY);
    f.tp.PASS_STR = true;
    dialog_buttons b;
    tread* fields[] = {&f.rp};
    result = run_dialog(fields, 1);
    copy_field(password, f.tp);
  }
  normalise_password(password);
  return result;
}

int get_ip_addr(char* ip) {
  int result;
  {
    dialog_window d("Введите IP Адрес", "Адрес");
    field f(FIELD_X, FIELD_BLANKS, FIELD_LEN, (char)-2, FIRST_FIELD_KEY);
    dialog_buttons b;
    tread* fields[] = {&f.rp};
    result = run_dialog(fields, 1);
    copy_field(ip, f.tp);
  }
  rep(ip);
  return result;
}

int get_mac_addr(unsigned char* mac) {
  const int n = 6;
  unsigned char typed[n];
  int result;
  {
    dialog_window d("Введите MAC Адрес", "MAC");
    std::optional<field> f[n];
    for (int i = 0; i < n; i++) {
      char text[3];
      snprintf(text, sizeof text, "%02X", mac[i]);
      f[i].emplace(i == 0 ? FIELD_X : XT + 4, text, 20, (char)-1, FIRST_FIELD_KEY + i);
    }
    dialog_buttons b;
    tread* fields[n];
    for (int i = 0; i < n; i++) fields[i] = &f[i]->rp;
    result = run_dialog(fields, n);
    for (int i = 0; i < n; i++) typed[i] = mac_field_value(f[i]->tp.TXT);
    // The buttons go first, then the fields from the last to the first (an
    // array's elements are destroyed from its end), then the window.
  }
  if (result == 0) memcpy(mac, typed, n);
  return result;
}
