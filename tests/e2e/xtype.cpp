// Types text into the X server the way a keyboard does: every character
// must already stand on a key of the server's keymap.
//
// xdotool types a character that is not on the keymap by rebinding a spare
// key to it, pressing it and binding it back. A client that reads the key
// after the binding has changed again (a busy machine is enough) gets
// another character or none: Cyrillic typed that way loses a letter now and
// then. A keyboard with a Russian layout rebinds nothing; neither does this.
//
//   xtype --keys TEXT          puts every character of TEXT that is not on
//                              the keymap yet on a spare key (both cases of a
//                              letter on one key, as a layout has them)
//   xtype [--delay MS] TEXT    presses the key of each character, with Shift
//                              where the character is the key's second one
//
// TEXT is UTF-8. Exit 0 when done, 1 when a character has no key (typing)
// or no spare key is left (--keys), 2 for a wrong command line.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

namespace {

// UTF-8 into code points; false on a malformed text.
bool decode(const char* s, std::vector<unsigned>& out) {
  const unsigned char* p = (const unsigned char*)s;
  while (*p) {
    unsigned c = *p, n = 0;
    if (c < 0x80) n = 0;
    else if ((c & 0xE0) == 0xC0) c &= 0x1F, n = 1;
    else if ((c & 0xF0) == 0xE0) c &= 0x0F, n = 2;
    else if ((c & 0xF8) == 0xF0) c &= 0x07, n = 3;
    else return false;
    p++;
    for (unsigned i = 0; i < n; i++, p++) {
      if ((*p & 0xC0) != 0x80) return false;
      c = c << 6 | (*p & 0x3F);
    }
    out.push_back(c);
  }
  return true;
}

// The keysym of a character: Latin-1 as itself, everything else as the
// Unicode keysym that Xlib turns back into the same character.
KeySym keysym_of(unsigned c) {
  if (c == '\n') return XK_Return;
  if (c == '\t') return XK_Tab;
  if ((c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c <= 0xFF)) return c;
  return 0x01000000 | c;
}

struct key_place {
  KeyCode code = 0;
  bool shift = false;
};

// Where the character stands on the keymap: the first key whose first or
// second symbol it is.
bool find_key(Display* d, const KeySym* map, int min, int max, int per, KeySym sym, key_place& at) {
  for (int k = min; k <= max; k++)
    for (int level = 0; level < 2 && level < per; level++)
      if (map[(k - min) * per + level] == sym) {
        at.code = (KeyCode)k;
        at.shift = level == 1;
        return true;
      }
  (void)d;
  return false;
}

int put_keys(Display* d, const std::vector<unsigned>& text) {
  int min, max, per;
  XDisplayKeycodes(d, &min, &max);
  KeySym* map = XGetKeyboardMapping(d, (KeyCode)min, max - min + 1, &per);
  if (!map) return 1;
  int status = 0;
  for (unsigned c : text) {
    KeySym lower = keysym_of(std::towlower(c)), upper = keysym_of(std::towupper(c));
    key_place at;
    if (find_key(d, map, min, max, per, keysym_of(c), at)) continue;
    int spare = -1;
    for (int k = min + 1; k <= max && spare < 0; k++) {
      bool empty = true;
      for (int l = 0; l < per; l++) empty = empty && map[(k - min) * per + l] == NoSymbol;
      if (empty) spare = k;
    }
    if (spare < 0) {
      std::fprintf(stderr, "xtype: no spare key left for U+%04X\n", c);
      status = 1;
      break;
    }
    // Both groups alike, as a one-layout keyboard reports them.
    std::vector<KeySym> syms(per, NoSymbol);
    for (int l = 0; l < per; l++) syms[l] = l % 2 == 0 ? lower : upper;
    XChangeKeyboardMapping(d, spare, per, syms.data(), 1);
    for (int l = 0; l < per; l++) map[(spare - min) * per + l] = syms[l];
  }
  XSync(d, False);
  XFree(map);
  return status;
}

int type_text(Display* d, const std::vector<unsigned>& text, int delay_ms) {
  int min, max, per;
  XDisplayKeycodes(d, &min, &max);
  KeySym* map = XGetKeyboardMapping(d, (KeyCode)min, max - min + 1, &per);
  if (!map) return 1;
  KeyCode shift = XKeysymToKeycode(d, XK_Shift_L);
  int status = 0;
  for (unsigned c : text) {
    key_place at;
    if (!find_key(d, map, min, max, per, keysym_of(c), at)) {
      std::fprintf(stderr, "xtype: U+%04X is on no key (xtype --keys puts it on one)\n", c);
      status = 1;
      break;
    }
    if (at.shift) XTestFakeKeyEvent(d, shift, True, CurrentTime);
    XTestFakeKeyEvent(d, at.code, True, CurrentTime);
    XTestFakeKeyEvent(d, at.code, False, CurrentTime);
    if (at.shift) XTestFakeKeyEvent(d, shift, False, CurrentTime);
    XSync(d, False);
    usleep((useconds_t)delay_ms * 1000);
  }
  XFree(map);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Upper and lower case of Cyrillic letters need a Unicode locale.
  std::setlocale(LC_CTYPE, "C.UTF-8");
  bool keys = false;
  int delay = 30;
  int i = 1;
  for (; i < argc - 1; i++) {
    if (std::strcmp(argv[i], "--keys") == 0) keys = true;
    else if (std::strcmp(argv[i], "--delay") == 0 && i + 1 < argc - 1) delay = std::atoi(argv[++i]);
    else break;
  }
  std::vector<unsigned> text;
  if (i != argc - 1 || !decode(argv[i], text)) {
    std::fprintf(stderr, "usage: xtype [--keys] [--delay MS] TEXT\n");
    return 2;
  }
  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    std::fprintf(stderr, "xtype: no display\n");
    return 1;
  }
  int status = keys ? put_keys(d, text) : type_text(d, text, delay);
  XCloseDisplay(d);
  return status;
}
