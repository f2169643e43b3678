// The file chooser against fake desktop choosers: shell scripts put on PATH
// that record their arguments and print what a test wants. With no chooser
// on PATH the drawn list takes over; it is driven by queued key codes.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include <unistd.h>

#include "tests/unit/toolkit.h"

namespace fs = std::filesystem;

namespace {

const char HEX_FILTER[] = "Hex file\0*.hex\0";

void queue(int code) { set_key(code, nullptr, 0, 0, 0); }

class FileChooser : public ToolkitTest {
 protected:
  fs::path root, bin, data;
  std::string old_path;

  void SetUp() override {
    ToolkitTest::SetUp();
    // A drawn list that waits for keys no test queued would wait for ever:
    // end the process instead, which fails the run.
    alarm(120);
    std::random_device rd;
    root = fs::temp_directory_path() / ("veskor-filedlg-" + std::to_string(rd()) + std::to_string(rd()));
    bin = root / "bin";
    data = root / "data";
    fs::create_directories(bin);
    fs::create_directories(data / "sub");
    touch(data / "fw.hex");
    touch(data / "a.hex");
    touch(data / "c.txt");
    touch(data / "README");
    touch(data / "sub" / "b.hex");
    const char* p = getenv("PATH");
    old_path = p ? p : "";
    setenv("PATH", bin.c_str(), 1);
  }
  void TearDown() override {
    alarm(0);
    setenv("PATH", old_path.c_str(), 1);
    std::error_code ec;
    fs::remove_all(root, ec);
    ToolkitTest::TearDown();
  }

  static void touch(const fs::path& p) { std::ofstream(p) << "x"; }

  // A chooser named prog whose body runs after it has written its arguments,
  // one a line, to <root>/args and counted its calls in <root>/calls.
  void chooser(const char* prog, const std::string& body) {
    fs::path p = bin / prog;
    std::ofstream f(p);
    f << "#!/bin/sh\n"
      << "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" << (root / "args").string() << "'\n"
      << "printf x >> '" << (root / "calls").string() << "'\n"
      << body << "\n";
    f.close();
    fs::permissions(p, fs::perms::owner_all);
  }
  // Prints path (file-system spelling) and succeeds.
  void answer(const std::string& path) { chooser("zenity", "printf '%s\\n' '" + path + "'"); }

  std::vector<std::string> args() {
    std::ifstream f(root / "args");
    std::vector<std::string> v;
    for (std::string l; std::getline(f, l);) v.push_back(l);
    return v;
  }
  int calls() {
    std::ifstream f(root / "calls");
    std::string s;
    std::getline(f, s);
    return (int)s.size();
  }
  // A path in the program's spelling (cp1251).
  static std::string cp(const fs::path& p) {
    std::string s;
    EXPECT_TRUE(plat::path_from_fs(p.c_str(), s));
    return s;
  }
  static bool has(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
  }
};

TEST_F(FileChooser, ZenityGetsStartFilterAndModeAndItsAnswerIsTaken) {
  answer((data / "fw.hex").string());
  char file[260] = "old.hex";
  EXPECT_EQ(only_open_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "fw.hex"));
  std::vector<std::string> a = args();
  ASSERT_GE(a.size(), 3u);
  EXPECT_EQ(a[0], "--file-selection");
  EXPECT_TRUE(has(a, "--filename=" + (data / "old.hex").string()));
  EXPECT_TRUE(has(a, "--file-filter=Hex file | *.hex"));
  EXPECT_FALSE(has(a, "--save"));

  // The directory as the application passes it, with its slash; no proposal.
  std::string dir = cp(data) + "/";
  file[0] = 0;
  EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_TRUE(has(args(), "--filename=" + data.string() + "/"));

  // Saving asks the chooser to confirm replacing; several patterns of a filter
  // are separated by blanks.
  answer((data / "new.hex").string());
  strcpy(file, "new.hex");
  EXPECT_EQ(save_file(file, sizeof file, cp(data).c_str(), "Firmware\0*.hex;*.ihx\0All\0*.*\0", "hex"), 1);
  a = args();
  EXPECT_TRUE(has(a, "--save"));
  EXPECT_TRUE(has(a, "--confirm-overwrite"));
  EXPECT_TRUE(has(a, "--file-filter=Firmware | *.hex *.ihx"));
  EXPECT_TRUE(has(a, "--file-filter=All | *"));
}

// Waits up to ms for done() to hold.
template <class F>
bool wait_for(F done, int ms = 5000) {
  for (int i = 0; i < ms / 10 && !done(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return done();
}

TEST_F(FileChooser, TheChooserIsModalOverOurWindows) {
  static std::atomic<int> paints{0};
  struct painter : probe {
    painter() : probe(0, 0, 300, 200) {}
    void paint(void*) override { paints++; }
  };
  twindow main_window(300, 200, "main");
  painter below;
  pump_for(50);
  // The chooser says it is up, then answers once the user has clicked and
  // typed into our window meanwhile.
  fs::path started = root / "started", go = root / "go";
  chooser("zenity", ": > '" + started.string() + "'; i=0; while [ ! -e '" + go.string() +
                        "' ] && [ $i -lt 200 ]; do /bin/sleep 0.05; i=$((i+1)); done; printf '%s\\n' '" +
                        (data / "fw.hex").string() + "'");
  plat::invalidate(main_window.hwnd, nullptr, true);
  paints = 0;
  bool painted_meanwhile = false;
  std::thread user([&] {
    wait_for([&] { return fs::exists(started); });
    plat::inject_mouse_button(main_window.hwnd, 20, 20, 1, true);
    plat::inject_mouse_button(main_window.hwnd, 20, 20, 1, false);
    plat::inject_key_event(main_window.hwnd, 40 /* Enter */, 13, 0, true);
    plat::inject_key_event(main_window.hwnd, 40, 13, 0, false);
    plat::inject_text(main_window.hwnd, "x");
    plat::inject_close(main_window.hwnd);
    painted_meanwhile = wait_for([] { return paints > 0; });
    touch(go);
  });
  char file[260] = "";
  EXPECT_EQ(only_open_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, "hex"), 1);
  user.join();
  EXPECT_EQ(std::string(file), cp(data / "fw.hex"));
  EXPECT_TRUE(painted_meanwhile) << "our window must repaint while the chooser is up";
  below.got.clear();
  std::vector<int> seen = without_noise(pump_for(300));
  EXPECT_EQ(seen, std::vector<int>{}) << "nothing typed or clicked meanwhile may arrive afterwards";
  EXPECT_EQ(without_noise(below.got), std::vector<int>{});
}

TEST_F(FileChooser, KdialogIsTheSecondChoice) {
  chooser("kdialog", "printf '%s\\n' '" + (data / "a.hex").string() + "'");
  char file[260] = "old.hex";
  EXPECT_EQ(only_open_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "a.hex"));
  std::vector<std::string> a = args();
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[0], "--getopenfilename");
  EXPECT_EQ(a[1], (data / "old.hex").string());
  EXPECT_EQ(a[2], "*.hex|Hex file");
}

TEST_F(FileChooser, CancelCrashAndGarbageChooseNothing) {
  struct {
    const char* what;
    std::string body;
  } cases[] = {
      {"cancel", "exit 1"},
      {"crash", "kill -SEGV $$"},
      {"killed", "kill -KILL $$"},
      {"empty", "exit 0"},
      {"blank line", "printf '\\n'"},
      {"two lines", "printf '%s\\n%s\\n' '" + (data / "fw.hex").string() + "' '" + (data / "a.hex").string() + "'"},
      {"binary", "printf '/\\001\\377\\000\\033abc\\n'"},
      {"bad utf-8", "printf '/tmp/\\377\\376.hex\\n'"},
      // An over-long '/': read leniently it would name data/fw.hex.
      {"over-long utf-8", "printf '%s\\340\\200\\257fw.hex\\n' '" + data.string() + "'"},
      {"relative", "printf 'fw.hex\\n'"},
      {"answer and failure", "printf '%s\\n' '" + (data / "fw.hex").string() + "'; exit 5"},
      {"lots of output", "i=0; while [ $i -lt 20000 ]; do printf '/%s' aaaaaaaaaa; i=$((i+1)); done; printf '\\n'"},
  };
  for (auto& c : cases) {
    chooser("zenity", c.body);
    char file[300];
    memset(file, '#', sizeof file);
    strcpy(file, "old.hex");
    EXPECT_EQ(only_open_file(file, 260, cp(data).c_str(), HEX_FILTER, "hex"), 0) << c.what;
    EXPECT_STREQ(file, "old.hex") << c.what;
    EXPECT_EQ(file[260], '#') << c.what;
  }
}

TEST_F(FileChooser, MustExistAsksAgainWhileOpenFileAcceptsANewName) {
  // First a name that is not there, then one that is.
  std::string once = (root / "once").string();
  chooser("zenity", "if [ -e '" + once + "' ]; then printf '%s\\n' '" + (data / "fw.hex").string() +
                        "'; else : > '" + once + "'; printf '%s\\n' '" + (data / "gone.hex").string() + "'; fi");
  char file[260] = "";
  queue(KEY_ESC);  // dismisses the "not found" message
  EXPECT_EQ(only_open_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(calls(), 2);
  EXPECT_EQ(std::string(file), cp(data / "fw.hex"));
  // The second round starts at the name that was refused.
  EXPECT_TRUE(has(args(), "--filename=" + (data / "gone.hex").string()));

  // open_file takes a missing file, adding the default extension.
  answer((data / "newname").string());
  EXPECT_EQ(open_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, ".hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "newname.hex"));

  // An existing file without extension is taken as it is named.
  answer((data / "README").string());
  EXPECT_EQ(only_open_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "README"));

  // A missing folder is refused whatever the kind.
  std::remove((root / "calls").c_str());
  std::string twice = (root / "twice").string();
  chooser("zenity", "if [ -e '" + twice + "' ]; then exit 1; else : > '" + twice + "'; printf '%s\\n' '" +
                        (data / "nodir" / "x.hex").string() + "'; fi");
  queue(KEY_ESC);
  EXPECT_EQ(open_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, "hex"), 0);
  EXPECT_EQ(calls(), 2);

  // A folder is no file to open or save, not even with a new extension.
  std::remove((root / "calls").c_str());
  std::string third = (root / "third").string();
  chooser("zenity", "if [ -e '" + third + "' ]; then exit 1; else : > '" + third + "'; printf '%s\\n' '" +
                        (data / "sub").string() + "'; fi");
  queue(KEY_ESC);
  fs::create_directories(data / "sub.hex");
  EXPECT_EQ(save_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, "hex"), 0);
  EXPECT_EQ(calls(), 2);
}

TEST_F(FileChooser, ResultsThatCannotBeHeldAreRefusedWithoutTouchingTheBuffer) {
  // Too long for the caller's buffer: the path needs more than 10 bytes.
  answer((data / "fw.hex").string());
  char file[300];
  memset(file, '#', sizeof file);
  strcpy(file, "a.hex");
  queue(KEY_ESC);
  EXPECT_EQ(only_open_file(file, 10, cp(data).c_str(), HEX_FILTER, "hex"), 0);
  EXPECT_STREQ(file, "a.hex");
  EXPECT_EQ(file[10], '#');
  // A proposal that fills the buffer without its zero is read only up to size.
  memset(file, 'z', 8);
  queue(KEY_ESC);
  EXPECT_EQ(only_open_file(file, 8, cp(data).c_str(), HEX_FILTER, "hex"), 0);
  EXPECT_TRUE(has(args(), "--filename=" + (data / "zzzzzzzz").string()));
  EXPECT_EQ(only_open_file(file, 0, cp(data).c_str(), HEX_FILTER, "hex"), 0);

  // A path with a character outside cp1251 is refused with a message.
  fs::path odd = data / "fw\xE2\x9C\x93.hex";  // a check mark
  touch(odd);
  answer(odd.string());
  strcpy(file, "a.hex");
  queue(KEY_ESC);
  EXPECT_EQ(only_open_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, "hex"), 0);
  EXPECT_STREQ(file, "a.hex");

  // Cyrillic is fine: the answer comes back in cp1251. (Literals here are
  // cp1251; the file system spells names in UTF-8.)
  fs::path folder = data / plat::path_to_fs("прошивки");
  fs::create_directories(folder);
  touch(folder / plat::path_to_fs("новая.hex"));
  answer((folder / plat::path_to_fs("новая.hex")).string());
  EXPECT_EQ(only_open_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data) + "/прошивки/новая.hex");
}

TEST_F(FileChooser, SaveConfirmsAReplacementTheChooserDidNotSee) {
  // The chooser confirmed "fw"; with the extension added it is fw.hex, which
  // exists: asked again, and a no asks for another name.
  std::string once = (root / "once").string();
  chooser("zenity", "if [ -e '" + once + "' ]; then exit 1; else : > '" + once + "'; printf '%s\\n' '" +
                        (data / "fw").string() + "'; fi");
  char file[260] = "";
  queue(KEY_ESC);  // no
  EXPECT_EQ(save_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, "hex"), 0);
  EXPECT_EQ(calls(), 2);
  std::remove(once.c_str());
  queue(KEY_ENTER);  // yes
  EXPECT_EQ(save_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "fw.hex"));
}

TEST_F(FileChooser, DrawnListWhenNoChooserIsInstalled) {
  std::string dir = cp(data);
  char file[260] = "";
  // data holds: .., sub/, then the files the filter passes: a.hex, fw.hex.
  for (int c : {KEY_DOWN, KEY_DOWN, KEY_ENTER, KEY_DOWN, KEY_DOWN, KEY_ENTER}) queue(c);  // into sub, then b.hex
  EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "sub" / "b.hex"));

  // End is the last file the filter lets through (not c.txt, not README).
  // (A whole path left in the buffer would say where to start: cleared.)
  file[0] = 0;
  queue(KEY_END);
  queue(KEY_ENTER);
  EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "fw.hex"));

  // Going up selects the folder we came from; Enter opens it again.
  std::string sub = cp(data / "sub");
  file[0] = 0;
  for (int c : {KEY_DOWN, KEY_ENTER, KEY_ENTER, KEY_END, KEY_ENTER}) queue(c);
  EXPECT_EQ(only_open_file(file, sizeof file, sub.c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "sub" / "b.hex"));

  // Esc and close give up.
  strcpy(file, "keep");
  queue(KEY_ESC);
  EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 0);
  queue(CMD_CLOSE);
  EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 0);
  EXPECT_STREQ(file, "keep");

  // A typed name; open_file takes it although it is new, with the extension.
  for (int c : {(int)'n', (int)'e', (int)'w', (int)'x', KEY_BACKSPACE, KEY_ENTER}) queue(c);
  file[0] = 0;
  EXPECT_EQ(open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "new.hex"));

  // only_open_file does not: "not found", and the list comes back.
  file[0] = 0;
  for (int c : {(int)'n', (int)'o', (int)'n', (int)'e', KEY_ENTER, KEY_ESC, KEY_ESC}) queue(c);
  EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 0);

  // The proposed name is selected at the start: Enter takes it. A whole path
  // proposed says where to start, whatever the directory argument.
  strcpy(file, "a.hex");
  queue(KEY_ENTER);
  EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "a.hex"));
  strcpy(file, cp(data / "sub" / "b.hex").c_str());
  queue(KEY_ENTER);
  EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "sub" / "b.hex"));
}

TEST_F(FileChooser, DrawnListOpensCyrillicFoldersAndSkipsMalformedNames) {
  // Literals are cp1251; on disk the names are UTF-8, one of them with an
  // over-long '.', which a lenient reading would list as "ядро.hex".
  fs::path folder = data / plat::path_to_fs("прошивки");
  fs::create_directories(folder);
  touch(folder / plat::path_to_fs("новая.hex"));
  touch(folder / (plat::path_to_fs("ядро") + "\xE0\x80\xAEhex"));
  char file[260] = "";
  // .., sub/, прошивки/: into it, then the last file. (The Esc keys end
  // whatever a wrong choice would open instead of hanging the test.)
  for (int c : {KEY_DOWN, KEY_DOWN, KEY_DOWN, KEY_ENTER, KEY_END, KEY_ENTER, KEY_ESC, KEY_ESC}) queue(c);
  EXPECT_EQ(only_open_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data) + "/прошивки/новая.hex");
}

TEST_F(FileChooser, DrawnListScrollsThroughALongFolder) {
  for (int i = 0; i < 40; i++) {
    char n[16];
    snprintf(n, sizeof n, "f%02d.hex", i);
    touch(data / "sub" / n);
  }
  std::string dir = cp(data / "sub");
  char file[260] = "";
  // .., b.hex, f00 .. f39: two pages down from nothing is row 27 = f25.hex.
  for (int c : {KEY_PAGE_DOWN, KEY_PAGE_DOWN, KEY_ENTER}) queue(c);
  EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "sub" / "f25.hex"));
  // Home, then up past the top stays on "..", which opens the parent.
  file[0] = 0;
  for (int c : {KEY_HOME, KEY_UP, KEY_UP, KEY_ENTER, KEY_END, KEY_ENTER}) queue(c);
  EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "fw.hex"));
  // Page Up from the end and the wheel do not lose the selection.
  file[0] = 0;
  for (int c : {KEY_END, KEY_PAGE_UP, CMD_WHEEL_DOWN, CMD_WHEEL_UP, KEY_ENTER}) queue(c);
  EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "sub" / "f25.hex"));
}

void queue_text(const std::string& cp1251) {
  for (unsigned char c : cp1251) queue(c);
}

// The Esc keys left over when the right path was taken.
void drop_queued() { CURRENT = LAST; }

TEST_F(FileChooser, DrawnListTakesTypedAndPastedPaths) {
  std::string dir = cp(data);
  char file[260];
  // An absolute path to a folder opens it; End and Enter then take its last
  // file. (The Esc keys end whatever a wrong path would open instead.)
  file[0] = 0;
  queue_text(cp(data / "sub"));
  for (int c : {KEY_ENTER, KEY_END, KEY_ENTER, KEY_ESC, KEY_ESC, KEY_ESC}) queue(c);
  EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "sub" / "b.hex"));
  drop_queued();

  // Paths relative to the folder shown, with steps up and down.
  for (const char* typed : {"sub/b.hex", "./sub/../sub//b.hex"}) {
    file[0] = 0;
    queue_text(typed);
    for (int c : {KEY_ENTER, KEY_ESC, KEY_ESC, KEY_ESC}) queue(c);
    EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 1) << typed;
    EXPECT_EQ(std::string(file), cp(data / "sub" / "b.hex")) << typed;
    drop_queued();
  }

  // A pasted path, line end and all; it replaces the selected name.
  ASSERT_TRUE(plat::clipboard_set((cp(data / "sub" / "b.hex") + "\r\n").c_str()));
  strcpy(file, "a.hex");
  for (int c : {KEY_CTRL_V, KEY_ENTER, KEY_ESC, KEY_ESC, KEY_ESC}) queue(c);
  EXPECT_EQ(only_open_file(file, sizeof file, dir.c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_EQ(std::string(file), cp(data / "sub" / "b.hex"));
}

// Clicks into whatever window is current when the next tick comes, one
// step per tick: the drawn list runs its own loop, so the test's hands
// have to be an element of the toolkit too.
struct hands : probe {
  std::vector<std::pair<int, int>> clicks;
  size_t next = 0;
  bool bar_drawn = false;
  hands() : probe(0, 0, 0, 0) { ALL_MESSAGE = true; }
  int message(int code) override {
    if (code != CMD_TICK || !THWND || next >= clicks.size()) return 0;
    if (next == 0) {
      // The bar's up arrow is grey on the list's white.
      bar_drawn = plat::get_pixel(THWND, 8 + 404 - 8, 30 + 3) == cLGRAY.COLOR;
    }
    auto [x, y] = clicks[next++];
    plat::inject_mouse_button(THWND, x, y, 1, true);
    plat::inject_mouse_button(THWND, x, y, 1, false);
    return 0;
  }
};

TEST_F(FileChooser, DrawnListHasAScrollBarWhenTheFolderIsLonger) {
  for (int i = 0; i < 40; i++) {
    char n[16];
    snprintf(n, sizeof n, "f%02d.hex", i);
    touch(data / "sub" / n);
  }
  // .., b.hex, f00 .. f39. A click on the bar's track below the thumb pages
  // down by the list's 14 rows; the first row then holds f12.hex.
  hands h;
  h.clicks = {{8 + 404 - 8, 30 + 14 * 18 - 30}, {100, 30 + 9}};
  char file[260] = "";
  EXPECT_EQ(only_open_file(file, sizeof file, cp(data / "sub").c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_TRUE(h.bar_drawn);
  EXPECT_EQ(std::string(file), cp(data / "sub" / "f12.hex"));

  // A folder that fits has no bar: the list's white reaches its frame.
  // (.., sub/, a.hex, fw.hex: the third row is a.hex.)
  hands fits;
  fits.clicks = {{100, 30 + 9 + 2 * 18}};
  file[0] = 0;
  EXPECT_EQ(only_open_file(file, sizeof file, cp(data).c_str(), HEX_FILTER, "hex"), 1);
  EXPECT_FALSE(fits.bar_drawn);
  EXPECT_EQ(std::string(file), cp(data / "a.hex"));
}

}  // namespace
