// The file chooser: the desktop's own dialog run as a separate program
// (zenity, else kdialog), or a list drawn with the toolkit where neither is
// installed. Whatever chooses, the answer is checked here the same way:
// default extension, must-exist, the caller's buffer size, and a path the
// program can show (cp1251).
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "class/button.h"
#include "class/core.h"
#include "class/dialogs.h"
#include "class/draw.h"
#include "class/grid.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

enum kind_t { OPEN_EXISTING, OPEN_OR_CREATE, SAVE };

const size_t PATH_LIMIT = 4096;

const char* const NOT_SHOWN = "Путь к файлу содержит символы, которые программа не может показать.";
const char* const TOO_LONG = "Путь к файлу слишком длинный.";
const char* const NOT_FOUND = "Файл не найден: ";
const char* const NO_FOLDER = "Папка не найдена: ";
const char* const EXISTS_1 = "Файл ";
const char* const EXISTS_2 = " уже существует. Заменить его?";

struct filter_pair {
  std::string desc, patterns;  // cp1251; patterns separated by ';'
};

// The classic list: description and pattern, each zero-terminated, the list
// ended by an empty string. A description without its pattern ends it too.
std::vector<filter_pair> parse_filter(const char* f) {
  std::vector<filter_pair> out;
  if (!f) return out;
  while (*f && out.size() < 64) {
    filter_pair p;
    p.desc = f;
    f += p.desc.size() + 1;
    if (!*f) break;
    p.patterns = f;
    f += p.patterns.size() + 1;
    out.push_back(p);
  }
  return out;
}

std::vector<std::string> split_patterns(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s + ";") {
    if (c == ';' || c == ' ') {
      if (!cur.empty()) out.push_back(cur == "*.*" ? "*" : cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  return out;
}

unsigned char lower1251(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c >= 0xC0 && c <= 0xDF) return c + 32;
  if (c == 0xA8) return 0xB8;
  return c;
}

// '*' and '?' globbing without regard to case, as the classic dialog matches.
bool glob(const char* p, const char* s) {
  const char *star = nullptr, *resume = nullptr;
  while (*s) {
    if (*p == '*') {
      star = p++;
      resume = s;
    } else if (*p == '?' || (*p && lower1251(*p) == lower1251(*s))) {
      p++;
      s++;
    } else if (star) {
      p = star + 1;
      s = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*') p++;
  return !*p;
}

bool is_dir(const std::string& cp) {
  std::error_code ec;
  return !cp.empty() && fs::is_directory(fs::path(plat::path_to_fs(cp.c_str())), ec);
}

bool exists(const std::string& cp) {
  std::error_code ec;
  return !cp.empty() && fs::exists(fs::path(plat::path_to_fs(cp.c_str())), ec);
}

std::string join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (!name.empty() && name[0] == '/') return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string dir_of(const std::string& p) {
  size_t k = p.rfind('/');
  if (k == std::string::npos) return "";
  return k == 0 ? "/" : p.substr(0, k);
}

// A typed path without its "." and ".." steps, doubled or trailing slashes.
std::string normal(const std::string& p) {
  std::vector<std::string> parts;
  size_t from = 0;
  while (from <= p.size()) {
    size_t to = p.find('/', from);
    if (to == std::string::npos) to = p.size();
    std::string part = p.substr(from, to - from);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    from = to + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

std::string name_of(const std::string& p) {
  size_t k = p.rfind('/');
  return k == std::string::npos ? p : p.substr(k + 1);
}

bool has_extension(const std::string& p) { return name_of(p).find('.') != std::string::npos; }

std::string current_dir() {
  std::error_code ec;
  fs::path c = fs::current_path(ec);
  std::string cp;
  if (ec || !plat::path_from_fs(c.c_str(), cp)) return "/";
  return cp;
}

// What the chooser prints is one absolute path and a line feed. Anything
// else (nothing, several lines, binary) is not an answer.
bool one_path(std::string& out) {
  if (!out.empty() && out.back() == '\n') out.pop_back();
  // No path is longer than the system's limit; output cut short at the
  // capture's limit would look like one.
  if (out.empty() || out[0] != '/' || out.size() > PATH_LIMIT) return false;
  for (unsigned char c : out)
    if (c < 0x20 || c == 0x7F) return false;
  // Malformed or over-long UTF-8 is garbage too, not a path to guess at.
  return plat::is_utf8(out.data(), out.size());
}

enum chooser_result { NO_CHOOSER, CANCELLED, CHOSEN };

// The desktop's chooser. start is the proposed file (or a directory ending
// in '/'), as the file system spells it.
chooser_result desktop_chooser(kind_t kind, const std::string& start, const std::vector<filter_pair>& filters,
                               std::string& chosen) {
  std::vector<std::string> args;
  std::string prog = plat::find_program("zenity");
  if (!prog.empty()) {
    args = {prog, "--file-selection", "--filename=" + start};
    for (const filter_pair& f : filters) {
      std::string desc = plat::to_utf8(f.desc.c_str());
      std::replace(desc.begin(), desc.end(), '|', '/');  // zenity splits at the bar
      std::string pats;
      for (const std::string& p : split_patterns(f.patterns)) pats += (pats.empty() ? "" : " ") + p;
      args.push_back("--file-filter=" + desc + " | " + plat::to_utf8(pats.c_str()));
    }
    if (kind == SAVE) {
      args.push_back("--save");
      args.push_back("--confirm-overwrite");
    }
  } else if (!(prog = plat::find_program("kdialog")).empty()) {
    args = {prog, kind == SAVE ? "--getsavefilename" : "--getopenfilename", start};
    std::string spec;
    for (const filter_pair& f : filters) {
      std::string pats;
      for (const std::string& p : split_patterns(f.patterns)) pats += (pats.empty() ? "" : " ") + p;
      if (!spec.empty()) spec += "\n";
      spec += plat::to_utf8(pats.c_str()) + "|" + plat::to_utf8(f.desc.c_str());
    }
    if (!spec.empty()) args.push_back(spec);
  } else {
    return NO_CHOOSER;
  }
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  std::string out;
  int code = -1;
  // A crash, a kill or a non-zero exit all mean no file was chosen.
  if (!plat::run_capture(argv.data(), out, &code) || code != 0) return CANCELLED;
  if (!one_path(out)) return CANCELLED;
  if (!plat::path_from_fs(out.c_str(), chosen)) {
    message(NOT_SHOWN);
    return CANCELLED;
  }
  return CHOSEN;
}

// ---- the drawn chooser --------------------------------------------------------

const int LIST_X = 8, LIST_Y = 30, LIST_LEN = 404, ROW = 18, ROWS = 14;
const int BAR = 16;  // the scroll bar's width, inside the list's frame
const int WIN_LEN = LIST_X * 2 + LIST_LEN, WIN_DOWN = 340;
const int ROW_CODE = 1500;  // codes of the rows: ROW_CODE + visible row
const int SCROLL_CODE = 1499;
// A path, not only a name, may be typed or pasted into the name field.
const int NAME_MAX = 1024;

struct entry {
  std::string name;  // cp1251
  bool folder;
};

bool name_before(const entry& a, const entry& b) {
  if (a.folder != b.folder) return a.folder;
  size_t n = std::min(a.name.size(), b.name.size());
  for (size_t i = 0; i < n; i++) {
    unsigned char x = lower1251(a.name[i]), y = lower1251(b.name[i]);
    if (x != y) return x < y;
  }
  return a.name.size() < b.name.size();
}

// Folders first, then the files the filter lets through; hidden entries and
// names the program cannot show are left out.
std::vector<entry> list_dir(const std::string& dir, const std::vector<std::string>& patterns) {
  std::vector<entry> out;
  if (dir != "/") out.push_back({"..", true});
  std::error_code ec;
  fs::directory_iterator it(fs::path(plat::path_to_fs(dir.c_str())), fs::directory_options::skip_permission_denied,
                            ec);
  std::vector<entry> found;
  for (; !ec && it != fs::directory_iterator() && found.size() < 20000; it.increment(ec)) {
    std::string nm;
    if (!plat::path_from_fs(it->path().filename().c_str(), nm) || nm.empty() || nm[0] == '.') continue;
    std::error_code e2;
    bool folder = it->is_directory(e2);
    if (!folder) {
      bool match = patterns.empty();
      for (const std::string& p : patterns) match = match || glob(p.c_str(), nm.c_str());
      if (!match) continue;
    }
    found.push_back({nm, folder});
  }
  std::sort(found.begin(), found.end(), name_before);
  out.insert(out.end(), found.begin(), found.end());
  return out;
}

// The end of a long path, so the part that tells folders apart stays seen.
std::string tail_that_fits(const std::string& s, int room) {
  tfont f("MS Sans Serif", 14);
  if (f.strlen(s.c_str()) <= room) return s;
  const char* ellipsis = "…";
  room -= f.strlen(ellipsis);
  size_t lo = 0, hi = s.size();  // the shortest cut that fits lies in [lo, hi]
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (f.strlen(s.c_str() + mid) <= room) hi = mid;
    else lo = mid + 1;
  }
  return ellipsis + s.substr(lo);
}

// The rows are made in a loop but must go in reverse order of making, like
// every other element, and between their neighbours on the stack.
struct row_list {
  std::vector<ttbutton*> v;
  row_list() = default;
  row_list(const row_list&) = delete;
  row_list& operator=(const row_list&) = delete;
  ~row_list() {
    for (auto it = v.rbegin(); it != v.rend(); ++it) delete *it;
  }
};

class drawn_chooser {
 public:
  drawn_chooser(kind_t kind, const std::string& dir, const std::string& name, const std::vector<filter_pair>& filters)
      : kind_(kind), dir_(dir), name_(name) {
    if (!filters.empty()) patterns_ = split_patterns(filters[0].patterns);
  }

  // The chosen path (cp1251), or false when the user gave up.
  bool run(std::string& chosen) {
    twindow w(WIN_LEN, WIN_DOWN, kind_ == SAVE ? "Сохранение файла" : "Открытие файла");
    w.foreground();
    ttext folder_label(LIST_X, 8, "Папка:");
    ttext folder(XT + 6, 8, "", LIST_X + LIST_LEN - XT - 6);
    folder_ = &folder;
    tbox back(LIST_X, LIST_Y, LIST_LEN, ROW * ROWS, &cWHITE);
    tborder back_frame(&back, (char)254);
    back_ = &back;
    row_list rows;
    for (int i = 0; i < ROWS; i++)
      rows.v.push_back(new ttbutton(LIST_X, LIST_Y + i * ROW, 0, "", LIST_LEN - BAR, ROW, ROW_CODE + i, nullptr,
                                    5, nullptr, &cWHITE));
    rows_ = &rows.v;
    tvsb bar(LIST_X + LIST_LEN - BAR, LIST_Y, ROW * ROWS, SCROLL_CODE);
    bar.STEP = ROWS;
    bar_ = &bar;
    int name_y = LIST_Y + ROW * ROWS + 10;
    ttext name_label(LIST_X, name_y, "Имя файла:");
    ttext name_field(XT + 6, name_y, "", &cBLACK, &cWHITE, LIST_X + LIST_LEN - XT - 6);
    tborder name_frame(&name_field, (char)254);
    name_field_ = &name_field;
    thbutton ok(-186, -23, 232, kind_ == SAVE ? "Сохранить" : "Открыть", 90, 20, KEY_ENTER, nullptr, 0, nullptr, &cLGRAY);
    thbutton cancel(XBT + 2, -23, 234, SD_CANCEL, 90, 20, KEY_ESC, nullptr, 0, nullptr, &cLGRAY);

    enter(dir_, name_);
    show_name();
    bool done = false, result = false;
    while (!done) {
      int c = getkey();
      switch (c) {
        case KEY_ESC:
        case CMD_CLOSE: done = true; break;
        case KEY_ENTER:
          if (sel_ >= 0 && !typed_) done = activate(sel_, chosen, result);
          else if (!name_.empty()) done = take_name(chosen, result);
          break;
        case KEY_UP: select(sel_ - 1); break;
        case KEY_DOWN: select(sel_ + 1); break;
        case KEY_PAGE_UP: select(sel_ - ROWS); break;
        case KEY_PAGE_DOWN: select(sel_ < 0 ? ROWS - 1 : sel_ + ROWS); break;
        case KEY_HOME: select(0); break;
        case KEY_END: select((int)list_.size() - 1); break;
        case CMD_WHEEL_UP: scroll(top_ - 3); break;
        case CMD_WHEEL_DOWN: scroll(top_ + 3); break;
        case SCROLL_CODE: scroll(bar.pos()); break;
        case KEY_BACKSPACE:
          if (!name_.empty()) name_.pop_back();
          typed_ = true;
          show_name();
          break;
        case KEY_CTRL_V: {
          std::string pasted;
          if (plat::clipboard_get(pasted)) type_in(pasted);
          break;
        }
        default:
          if (c >= ROW_CODE && c < ROW_CODE + ROWS && top_ + c - ROW_CODE < (int)list_.size()) {
            select(top_ + c - ROW_CODE);
            done = activate(sel_, chosen, result);
          } else if (c >= 32 && c <= 255 && c != 127) {
            type_in(std::string(1, (char)c));
          }
      }
      if (c >= CMD_MOUSE_MOVE && c <= CMD_MOUSE_LUP) mark_selection();
    }
    return result;
  }

 private:
  kind_t kind_;
  std::string dir_, name_;
  std::vector<std::string> patterns_;
  std::vector<entry> list_;
  int top_ = 0, sel_ = -1;
  bool typed_ = false;
  std::vector<ttbutton*>* rows_ = nullptr;
  tvsb* bar_ = nullptr;
  tbox* back_ = nullptr;
  ttext* folder_ = nullptr;
  ttext* name_field_ = nullptr;

  void enter(const std::string& dir, const std::string& select_name) {
    unmark_all();
    dir_ = dir;
    list_ = list_dir(dir_, patterns_);
    *folder_ << tail_that_fits(dir_, folder_->len() - 4).c_str();
    top_ = 0;
    sel_ = -1;
    for (size_t i = 0; i < list_.size() && sel_ < 0; i++)
      if (list_[i].name == select_name && list_[i].name != "..") sel_ = (int)i;
    if (sel_ >= ROWS) top_ = sel_ - ROWS + 1;
    // The bar is there only when the folder is longer than the list.
    int positions = std::max(0, (int)list_.size() - ROWS + 1);
    if (positions > 1) bar_->show(false);
    else bar_->hide(false);
    bar_->max(positions);
    *bar_ = top_;
    show_rows();
  }

  void show_rows() {
    for (int i = 0; i < ROWS; i++) {
      ttbutton* r = (*rows_)[i];
      int k = top_ + i;
      if (k < (int)list_.size()) {
        std::string t = list_[k].name + (list_[k].folder && list_[k].name != ".." ? "/" : "");
        r->show(false);
        *r << t.c_str();
      } else {
        r->hide(false);
      }
    }
    // Rows that went away leave the list's white behind them.
    back_->update();
    for (ttbutton* r : *rows_)
      if (r->VISIBLE) r->update();
    bar_->update();
    mark_selection();
  }

  // The keyboard's row is drawn as the pointer draws a hovered one.
  void mark_selection() {
    for (int i = 0; i < ROWS; i++) {
      ttbutton* r = (*rows_)[i];
      if (!r->VISIBLE) continue;
      bool want = top_ + i == sel_;
      if (want && (r->STATUS < 2 || r->BOX->CL != &cDBLUE)) {
        if (r->STATUS < 2) r->STATUS = 2;
        r->BOX->CL = &cDBLUE;
        r->update();
      } else if (!want && r->STATUS == 1 && r->BOX->CL != &cWHITE) {
        r->BOX->CL = &cWHITE;
        r->update();
      }
    }
  }

  void unmark_all() {
    for (ttbutton* r : *rows_)
      if (r->STATUS == 2 && r->VISIBLE) {
        r->STATUS = 1;
        r->BOX->CL = &cWHITE;
        r->update();
      }
  }

  void select(int k) {
    if (list_.empty()) return;
    k = std::max(0, std::min(k, (int)list_.size() - 1));
    unmark_all();
    sel_ = k;
    typed_ = false;
    if (!list_[k].folder) {
      name_ = list_[k].name;
      show_name();
    }
    if (sel_ < top_) scroll(sel_);
    else if (sel_ >= top_ + ROWS) scroll(sel_ - ROWS + 1);
    else mark_selection();
  }

  void scroll(int t) {
    t = std::max(0, std::min(t, (int)list_.size() - ROWS));
    if (t == top_) return;
    top_ = t;
    *bar_ = top_;
    unmark_all();
    show_rows();
  }

  void show_name() { *name_field_ << tail_that_fits(name_, name_field_->len() - 4).c_str(); }

  // Typed or pasted text goes into the name. The first key after a row was
  // chosen starts a new name; a pasted line brings no line end or control
  // character with it.
  void type_in(const std::string& text) {
    if (!typed_) name_.clear();
    typed_ = true;
    // Enter now takes the name, not the row: the row shows it no more.
    unmark_all();
    sel_ = -1;
    for (char ch : text) {
      unsigned char u = (unsigned char)ch;
      if (u == '\r' || u == '\n') break;
      if (u < 32 || u == 127) continue;
      if ((int)name_.size() >= NAME_MAX) break;
      name_ += ch;
    }
    show_name();
  }

  std::string up(const std::string& d) {
    std::string p = dir_of(d);
    return p.empty() ? "/" : p;
  }

  // Enter on a row: a folder opens, a file is the answer.
  bool activate(int k, std::string& chosen, bool& result) {
    if (k < 0 || k >= (int)list_.size()) return false;
    const entry& e = list_[k];
    if (e.name == "..") {
      // Back in the parent, the folder we came from is the selected row.
      std::string from = name_of(dir_);
      enter(up(dir_), from);
      return false;
    }
    if (e.folder) {
      enter(join(dir_, e.name), "");
      return false;
    }
    chosen = join(dir_, e.name);
    result = true;
    return true;
  }

  // Enter on the typed name, or a path absolute or relative to the folder
  // shown: a folder opens, anything else is the answer.
  bool take_name(std::string& chosen, bool& result) {
    std::string p = normal(join(dir_, name_));
    if (is_dir(p)) {
      name_.clear();
      show_name();
      typed_ = false;
      enter(p, "");
      return false;
    }
    chosen = p;
    result = true;
    return true;
  }
};

std::string strip_dot(const char* ext) {
  if (!ext) return "";
  while (*ext == '.') ext++;
  return ext;
}

int choose(kind_t kind, char* file, int size, const char* dir, const char* filter, const char* ext) {
  if (!file || size <= 0) return 0;
  std::vector<filter_pair> filters = parse_filter(filter);
  std::string proposal(file, strnlen(file, (size_t)size));
  std::string start_dir = dir && *dir ? dir : "";
  std::string def_ext = strip_dot(ext);
  // A proposal that is a whole path says where to start by itself.
  if (!proposal.empty() && proposal[0] == '/') {
    start_dir = dir_of(proposal);
    proposal = name_of(proposal);
  }
  if (!start_dir.empty() && start_dir[0] != '/') start_dir = join(current_dir(), start_dir);

  for (;;) {
    std::string chosen;
    bool confirmed = false;  // the chooser itself asked about replacing it
    // A directory alone is passed with its slash, so the chooser opens it.
    std::string start = plat::path_to_fs(join(start_dir, proposal).c_str());
    chooser_result r = desktop_chooser(kind, start, filters, chosen);
    if (r == NO_CHOOSER) {
      std::string d = is_dir(start_dir) ? start_dir : current_dir();
      drawn_chooser picker(kind, d, proposal, filters);
      r = picker.run(chosen) ? CHOSEN : CANCELLED;
    } else {
      confirmed = kind == SAVE;
    }
    if (r != CHOSEN) return 0;

    if (!def_ext.empty() && !has_extension(chosen)) {
      // A file that exists as it was named is taken as it is when opening.
      if (kind == SAVE || !exists(chosen)) {
        chosen += "." + def_ext;
        confirmed = false;
      }
    }
    start_dir = dir_of(chosen);
    proposal = name_of(chosen);
    if (!is_dir(start_dir)) {
      message((NO_FOLDER + start_dir).c_str());
      continue;
    }
    if (is_dir(chosen) || (kind == OPEN_EXISTING && !exists(chosen))) {
      message((NOT_FOUND + proposal).c_str());
      continue;
    }
    if (kind == SAVE && !confirmed && exists(chosen) && !yes_no((EXISTS_1 + proposal + EXISTS_2).c_str()))
      continue;
    if (chosen.size() + 1 > (size_t)size) {
      message(TOO_LONG);
      return 0;
    }
    memcpy(file, chosen.c_str(), chosen.size() + 1);
    return 1;
  }
}

}  // namespace

int only_open_file(char* file, int size, const char* dir, const char* filter, const char* ext) {
  return choose(OPEN_EXISTING, file, size, dir, filter, ext);
}

int open_file(char* file, int size, const char* dir, const char* filter, const char* ext) {
  return choose(OPEN_OR_CREATE, file, size, dir, filter, ext);
}

int save_file(char* file, int size, const char* dir, const char* filter, const char* ext) {
  return choose(SAVE, file, size, dir, filter, ext);
}
