// The settings store: the hive files and the key store on top of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bcp/bcp.h"
#include "platform/durable.h"
#include "platform/platform.h"

namespace {

const char* KEY = "Software\\Quarnel\\Trellan";

std::string slurp_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Every case gets its own folders for the three places the hive uses.
class Settings : public ::testing::Test {
 protected:
  std::string dir;

  void SetUp() override {
    char tmpl[] = "/tmp/veskor-settings-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    mkdir((dir + "/run").c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    setenv("VESKOR_SYSTEM_HIVE", (dir + "/etc/HKEY_LOCAL_MACHINE.reg").c_str(), 1);
  }
  void TearDown() override {
    plat::set_sync_hook(nullptr);
    alarm(0);
    std::filesystem::remove_all(dir);
  }

  std::string user_file() const { return dir + "/config/veskor/HKEY_CURRENT_USER.reg"; }
  std::string volatile_file() const { return dir + "/run/veskor/HKEY_CURRENT_USER.reg"; }

  static std::string slurp(const std::string& path) { return slurp_file(path); }
  static void spit(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
};

TEST_F(Settings, EveryTypeRoundTripsThroughTheFile) {
  const unsigned char mac[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x02};
  const char* path = "/home/техник/fw \"new\"\\a.hex";
  {
    _regkey k(HKEY_CURRENT_USER, KEY, false);
    ASSERT_FALSE(k._ERROR);
    ASSERT_FALSE(k._READ_ONLY);
    EXPECT_TRUE(k.set_string(path, "LastFile"));
    EXPECT_TRUE(k.set_binary(mac, 6, "LastMac"));
    EXPECT_TRUE(k.set_int(-5, "Count"));
    EXPECT_TRUE(k.set_bool(true, "Flag"));
    // No text form: a byte without a Unicode form and a control character.
    EXPECT_TRUE(k.set_string("\x98 bell\x07", "Odd"));
    EXPECT_TRUE(k.set_string("", "Empty"));
  }
  // The file is what a person (or another registry editor) reads.
  std::string f = slurp(user_file());
  EXPECT_EQ(f.compare(0, 9, "REGEDIT4\n"), 0) << f;
  EXPECT_NE(f.find("\n[HKEY_CURRENT_USER\\Software\\Quarnel\\Trellan]\n"), std::string::npos) << f;
  EXPECT_NE(f.find(u8"\n\"LastFile\"=\"/home/техник/fw \\\"new\\\"\\\\a.hex\"\n"), std::string::npos) << f;
  EXPECT_NE(f.find("\n\"LastMac\"=hex:5a,3c,19,11,46,02\n"), std::string::npos) << f;
  EXPECT_NE(f.find("\n\"Count\"=dword:fffffffb\n"), std::string::npos) << f;
  EXPECT_NE(f.find("\n\"Flag\"=dword:00000001\n"), std::string::npos) << f;
  EXPECT_NE(f.find("\n\"Odd\"=hex(1):98,20,62,65,6c,6c,07\n"), std::string::npos) << f;

  // Key and value names do not depend on case.
  _regkey k(HKEY_CURRENT_USER, "software\\QUARNEL\\trellan", false);
  ASSERT_FALSE(k._ERROR || k._READ_ONLY);
  char buf[260];
  EXPECT_EQ(k.get_string(buf, sizeof buf, "lastfile"), buf);
  EXPECT_STREQ(buf, path);
  EXPECT_STREQ(k.get_string("LastFile"), path);
  unsigned char got[6] = {};
  EXPECT_EQ(k.get_binary(got, 6, "LastMac"), got);
  EXPECT_EQ(memcmp(got, mac, 6), 0);
  EXPECT_EQ(k._TYPE, (unsigned)REG_BINARY);
  EXPECT_EQ(k.get_int("Count"), -5);
  EXPECT_EQ(k.get_int("Flag"), 1);
  EXPECT_TRUE(k.get_bool("Flag"));
  EXPECT_STREQ(k.get_string("Odd"), "\x98 bell\x07");
  EXPECT_STREQ(k.get_string(buf, sizeof buf, "Empty"), "");
  EXPECT_TRUE(k.remove("Count"));
  EXPECT_EQ(k.get_int("Count"), 0);
  EXPECT_FALSE(k.remove("Count"));
}

// The file is UTF-8 and the program's texts cp1251: every cp1251 character
// with a printable form is written as itself and reads back the same byte,
// and a text in the file that is not strictly UTF-8 of cp1251 characters is
// damage (the file turns read-only), never dropped or guessed into a value.
TEST_F(Settings, TextsCrossTheFileStrictly) {
  std::string all;
  for (int c = 0x20; c < 0x100; c++)
    if (c != 0x7F && c != 0x98) all += (char)c;
  {
    _regkey k(HKEY_CURRENT_USER, "Software\\Quarnel\\Ёлка №1", false);
    ASSERT_FALSE(k._ERROR || k._READ_ONLY);
    EXPECT_TRUE(k.set_string(all.c_str(), "Все €"));
  }
  std::string f = slurp(user_file());
  EXPECT_NE(f.find(u8"[HKEY_CURRENT_USER\\Software\\Quarnel\\Ёлка №1]\n\"Все €\"=\""), std::string::npos) << f;
  EXPECT_NE(f.find(u8"АБВ"), std::string::npos) << f;
  {
    _regkey k(HKEY_CURRENT_USER, "Software\\Quarnel\\ёЛКА №1", false);
    ASSERT_FALSE(k._ERROR || k._READ_ONLY);
    EXPECT_EQ(std::string(k.get_string("ВСЕ €")), all);
  }

  // Over-long '/', a surrogate, a cut sequence, a stray continuation byte,
  // a character without a cp1251 form; in a text, in a name, in a key.
  const char* bad[] = {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xD0", "\x80", "\xE4\xB8\xAD"};
  for (const char* b : bad) {
    const std::string good = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Quarnel\\Trellan]\n\"Good\"=\"a\"\n";
    for (const std::string& text : {good + "\"Bad\"=\"/x" + b + "\"\n", good + "\"Bad" + b + "\"=dword:00000001\n",
                                     good + "[HKEY_CURRENT_USER\\Software\\Quarnel\\Trellan\\Bad" + b + "]\n"}) {
      SCOPED_TRACE(text);
      spit(user_file(), text);
      {
        _regkey r(HKEY_CURRENT_USER, KEY, false);
        EXPECT_TRUE(r._READ_ONLY);
        EXPECT_STREQ(r.get_string("Good"), "a");
        EXPECT_STREQ(r.get_string("Bad"), "");
        EXPECT_EQ(r.get_int("Bad"), 0);
        EXPECT_EQ(r.get_int("Bad/"), 0);
        EXPECT_FALSE(r.set_string("b", "Good"));
      }
      EXPECT_EQ(slurp(user_file()), text);
    }
  }
}

TEST_F(Settings, IndexedNamesCarryTheFormattedIndex) {
  _regkey k(HKEY_CURRENT_USER, KEY, false);
  EXPECT_TRUE(k.set_string("seven", "LastFile", 7));
  EXPECT_TRUE(k.set_int(3, "N", -3));
  EXPECT_TRUE(k.set_int(5, "N", 12345));
  EXPECT_STREQ(k.get_string("LastFile_0007"), "seven");
  EXPECT_EQ(k.get_int("N_-003"), 3);
  EXPECT_EQ(k.get_int("N_12345"), 5);
  char buf[16];
  EXPECT_STREQ(k.get_string(buf, sizeof buf, "LastFile", 7), "seven");
  EXPECT_EQ(k.get_int("N", -3), 3);
  // A name that does not fit is refused, not cut to an existing one.
  std::string lng(300, 'x');
  EXPECT_FALSE(k.set_int(1, lng.c_str(), 1));
  EXPECT_EQ(k.get_int(lng.c_str(), 1), 0);
}

TEST_F(Settings, AbsentAndOversizedValuesGiveTheFallbacks) {
  _regkey k(HKEY_CURRENT_USER, KEY, false);
  char buf[260];
  memset(buf, 'x', sizeof buf);
  char* r = k.get_string(buf, sizeof buf, "Nothing");
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r, "");
  EXPECT_EQ(buf[0], 0);
  EXPECT_STREQ(k.get_string("Nothing"), "");
  unsigned char six[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(k.get_binary(six, 6, "Nothing"), nullptr);
  EXPECT_EQ(six[5], 6);
  EXPECT_EQ(k.get_binary("Nothing"), nullptr);
  EXPECT_EQ(k.get_int("Nothing"), 0);
  EXPECT_FALSE(k.get_bool("Nothing"));

  std::string t300(300, 'a');
  ASSERT_TRUE(k.set_string(t300.c_str(), "Long"));
  memset(buf, 'x', sizeof buf);
  EXPECT_STREQ(k.get_string(buf, sizeof buf, "Long"), "");
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(std::string(k.get_string("Long")), t300);
  // Six bytes do not fit in five: the buffer stays as it was.
  EXPECT_TRUE(k.set_binary(six, 6, "Mac"));
  unsigned char five[5] = {9, 9, 9, 9, 9};
  EXPECT_EQ(k.get_binary(five, 5, "Mac"), nullptr);
  EXPECT_EQ(five[0], 9);

  // A text stored without its zero and exactly as long as the buffer would
  // come back unterminated: it counts as too large.
  std::string exact = "\x01" + std::string(259, 'b');
  ASSERT_EQ(plat::reg_set_value(k._KEY, "Exact", REG_SZ, (const unsigned char*)exact.data(), 260), ERROR_SUCCESS);
  memset(buf, 'x', sizeof buf);
  EXPECT_STREQ(k.get_string(buf, sizeof buf, "Exact"), "");
  EXPECT_EQ(buf[0], 0);
  char roomy[261];
  EXPECT_EQ(std::string(k.get_string(roomy, sizeof roomy, "Exact")), exact);
  // 259 characters written by the store fit 260 bytes with their zero.
  std::string t259(259, 'c');
  ASSERT_TRUE(k.set_string(t259.c_str(), "Fits"));
  EXPECT_EQ(std::string(k.get_string(buf, sizeof buf, "Fits")), t259);
}

TEST_F(Settings, DamagedFileIsReadOnlyAndNeverWritten) {
  // Hand-edited: a bad line among good ones, a hex value over two lines;
  // and the same values without the header line a hive begins with.
  const std::string values =
      "[HKEY_CURRENT_USER\\Software\\Quarnel\\Trellan]\n"
      "\"LastFile\"=\"/fw/a.hex\"\n"
      "\"LastMac\"=hex:5a,3c,19,\\\n  11,46,07\n";
  for (const std::string& text : {"REGEDIT4\n\n" + values + "\"Broken\"=dword:xyz\n", values}) {
    SCOPED_TRACE(text);
    spit(user_file(), text);
    {
      _regkey k(HKEY_CURRENT_USER, KEY, false);
      EXPECT_FALSE(k._ERROR);
      EXPECT_TRUE(k._READ_ONLY);
      EXPECT_STREQ(k.get_string("LastFile"), "/fw/a.hex");
      unsigned char mac[6] = {};
      ASSERT_NE(k.get_binary(mac, 6, "LastMac"), nullptr);
      EXPECT_EQ(mac[5], 0x07);
      EXPECT_FALSE(k.set_string("/fw/b.hex", "LastFile"));
      EXPECT_FALSE(k.set_bool(true, "Flag"));
      EXPECT_FALSE(k.remove("LastFile"));
      EXPECT_EQ(plat::reg_set_value(k._KEY, "X", REG_DWORD, mac, 4), ERROR_ACCESS_DENIED);

      // A key the damaged file does not show can be neither opened nor
      // made: the failed state, with every read falling back.
      _regkey f(HKEY_CURRENT_USER, "Software\\Other", false);
      EXPECT_TRUE(f._ERROR);
      EXPECT_FALSE(f._READ_ONLY);
      EXPECT_FALSE(f.set_int(1, "A"));
      EXPECT_EQ(f.get_int("A"), 0);
      char buf[8] = "garbage";
      EXPECT_STREQ(f.get_string(buf, sizeof buf, "A"), "");
      EXPECT_EQ(buf[0], 0);
      EXPECT_EQ(f.get_binary("A"), nullptr);
      EXPECT_FALSE(f.lock());
    }
    EXPECT_EQ(slurp(user_file()), text);
    EXPECT_FALSE(std::filesystem::exists(user_file() + ".new"));
  }
}

// A FIFO (or any other file that is not a regular one) in the hive's place
// is refused at once: the key fails instead of waiting for a writer. One
// left under the temporary name of a write is removed, not written into.
TEST_F(Settings, FilesThatAreNotFilesAreNeverWaitedOn) {
  alarm(60);  // a hang in open() ends the test instead of the suite
  std::filesystem::create_directories(dir + "/config/veskor");
  ASSERT_EQ(mkfifo(user_file().c_str(), 0600), 0);
  {
    _regkey k(HKEY_CURRENT_USER, KEY, false);
    EXPECT_TRUE(k._ERROR || k._READ_ONLY);
    EXPECT_FALSE(k.set_string("/fw/a.hex", "LastFile"));
    EXPECT_STREQ(k.get_string("LastFile"), "");
  }
  ASSERT_EQ(unlink(user_file().c_str()), 0);
  ASSERT_EQ(mkfifo((user_file() + ".new").c_str(), 0600), 0);
  {
    _regkey k(HKEY_CURRENT_USER, KEY, false);
    ASSERT_FALSE(k._ERROR || k._READ_ONLY);
    EXPECT_TRUE(k.set_string("/fw/a.hex", "LastFile"));
  }
  EXPECT_NE(slurp(user_file()).find("\"LastFile\"=\"/fw/a.hex\""), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(user_file() + ".new"));
}

// A hive of thousands of keys (and a key of many values) is found by any
// case of its names and written back in its own order, changed only where
// it was changed.
TEST_F(Settings, LargeHivesKeepTheirOrderAndIgnoreCase) {
  const int KEYS = 3000, VALUES = 40;
  auto key_line = [](const std::string& path) { return "\n[HKEY_CURRENT_USER\\" + path + "]\n"; };
  auto dword = [](const std::string& name, unsigned v) {
    char buf[64];
    snprintf(buf, sizeof buf, "\"%s\"=dword:%08x\n", name.c_str(), v);
    return std::string(buf);
  };
  std::string text = "REGEDIT4\n";
  for (int i = KEYS - 1; i >= 0; i--)  // not in sorted order
    text += key_line("Software\\Quarnel\\Board" + std::to_string(i)) + dword("Count", (unsigned)i);
  text += key_line(u8"Software\\Quarnel\\Плата Ёж");
  std::string many = key_line("Software\\Quarnel\\Many");
  for (int v = 0; v < VALUES; v++) many += dword("V" + std::to_string(v), (unsigned)v);
  text += many + "\n";
  spit(user_file(), text);

  _regkey board(HKEY_CURRENT_USER, "SOFTWARE\\quarnel\\BOARD17", false);
  ASSERT_FALSE(board._ERROR || board._READ_ONLY);
  EXPECT_EQ(board.get_int("count"), 17);
  _regkey cyr(HKEY_CURRENT_USER, "software\\QUARNEL\\плата ёЖ", false);
  EXPECT_FALSE(cyr._ERROR || cyr._READ_ONLY);
  EXPECT_TRUE(cyr.set_int(1, "Есть"));

  _regkey m(HKEY_CURRENT_USER, "Software\\Quarnel\\many", false);
  ASSERT_FALSE(m._ERROR || m._READ_ONLY);
  EXPECT_TRUE(m.remove("v5"));
  EXPECT_FALSE(m.remove("V5"));
  // The values after the removed one are still found where they are.
  for (int v = 6; v < VALUES; v++) EXPECT_EQ(m.get_int(("v" + std::to_string(v)).c_str()), v) << v;
  EXPECT_TRUE(m.set_int(99, "v20"));
  EXPECT_TRUE(m.set_int(7, "New"));
  EXPECT_EQ(m.get_int("V20"), 99);
  EXPECT_EQ(m.get_int("NEW"), 7);
  // A new key under existing ones takes their spelling and goes last.
  _regkey extra(HKEY_CURRENT_USER, "SOFTWARE\\QUARNEL\\Extra", false);
  EXPECT_FALSE(extra._ERROR || extra._READ_ONLY);

  std::string want = text;
  want.replace(want.find(many), many.size(), [&] {
    std::string after = key_line("Software\\Quarnel\\Many");
    for (int v = 0; v < VALUES; v++)
      if (v != 5) after += dword("V" + std::to_string(v), v == 20 ? 99u : (unsigned)v);
    return after + dword("New", 7);
  }());
  size_t cyr_at = want.find(u8"Ёж]\n") + std::strlen(u8"Ёж]\n");
  want.insert(cyr_at, u8"\"Есть\"=dword:00000001\n");
  want.insert(want.size() - 1, key_line("Software\\Quarnel\\Extra"));
  std::string got = slurp(user_file());
  size_t at = (size_t)(std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin());
  EXPECT_TRUE(got == want) << "differs at byte " << at << ": ..." << got.substr(at < 60 ? 0 : at - 60, 160);
}

// Whatever a change writes is in the synced file before the rename, and the
// folder holding the renamed file is synced before the change reports
// success.
namespace sync_watch {
std::string hive;  // the file whose content each folder sync sees
struct event {
  std::string path;
  bool folder;
  std::string content;  // of the synced file, or of the hive at a folder sync
};
std::vector<event> seen;
bool record(const std::string& path, bool folder) {
  seen.push_back({path, folder, slurp_file(folder ? hive : path)});
  return true;
}
}  // namespace sync_watch

TEST_F(Settings, EveryChangeReachesTheDiskBeforeItCounts) {
  {
    _regkey k(HKEY_CURRENT_USER, KEY, false);
    ASSERT_TRUE(k.set_string("/fw/old.hex", "LastFile"));
  }
  sync_watch::hive = user_file();
  sync_watch::seen.clear();
  plat::set_sync_hook(sync_watch::record);
  {
    _regkey k(HKEY_CURRENT_USER, KEY, false);
    ASSERT_TRUE(k.set_string("/fw/new.hex", "LastFile"));
  }
  plat::set_sync_hook(nullptr);
  const std::string value = "\"LastFile\"=\"/fw/new.hex\"";
  size_t file = 0;
  while (file < sync_watch::seen.size() &&
         (sync_watch::seen[file].folder || sync_watch::seen[file].path != user_file() + ".new" ||
          sync_watch::seen[file].content.find(value) == std::string::npos))
    file++;
  ASSERT_LT(file, sync_watch::seen.size()) << "the new file was never synced";
  bool folder = false;
  for (size_t i = file + 1; i < sync_watch::seen.size(); i++)
    folder = folder || (sync_watch::seen[i].folder && sync_watch::seen[i].path == dir + "/config/veskor" &&
                        sync_watch::seen[i].content.find(value) != std::string::npos);
  EXPECT_TRUE(folder) << "the folder was not synced after the rename";
}

TEST_F(Settings, ForeignFilesAreReadAndTheirValuesKept) {
  // What another editor may write: byte-order mark, CRLF, a comment, the
  // default value, an expandable text as hex(2), upper-case digits.
  spit(user_file(),
       "\xEF\xBB\xBFREGEDIT4\r\n\r\n; made by hand\r\n[HKEY_CURRENT_USER\\Software\\Quarnel\\Trellan]\r\n"
       "@=\"default\"\r\n\"Path\"=hex(2):25,00\r\n\"N\"=dword:0000002A\r\n");
  {
    _regkey k(HKEY_CURRENT_USER, KEY, false);
    ASSERT_FALSE(k._ERROR || k._READ_ONLY);
    EXPECT_STREQ(k.get_string(""), "default");
    EXPECT_EQ(k.get_int("N"), 42);
    EXPECT_TRUE(k.set_int(7, "M"));
  }
  _regkey k(HKEY_CURRENT_USER, KEY, false);
  EXPECT_STREQ(k.get_string(""), "default");
  EXPECT_EQ(k.get_int("N"), 42);
  EXPECT_EQ(k.get_int("M"), 7);
  unsigned type = 0, size = 0;
  EXPECT_EQ(plat::reg_query_value(k._KEY, "Path", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, (unsigned)REG_EXPAND_SZ);
  EXPECT_EQ(size, 2u);
}

TEST_F(Settings, VolatileKeysLiveInTheRuntimeFolder) {
  {
    _regkey v(HKEY_CURRENT_USER, "Software\\Quarnel\\Session", true);
    ASSERT_FALSE(v._ERROR || v._READ_ONLY);
    EXPECT_TRUE(v.set_int(1, "Up"));
  }
  EXPECT_NE(slurp(volatile_file()).find("[HKEY_CURRENT_USER\\Software\\Quarnel\\Session]"), std::string::npos);
  EXPECT_EQ(slurp(user_file()).find("Session"), std::string::npos);
  // Opened again without the flag, the volatile key is found where it is.
  _regkey v(HKEY_CURRENT_USER, "Software\\Quarnel\\Session", false);
  EXPECT_EQ(v.get_int("Up"), 1);
  void* child = nullptr;
  EXPECT_EQ(plat::reg_create_key(HKEY_CURRENT_USER, "Software\\Quarnel\\Session\\Child", REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, &child),
            ERROR_CHILD_MUST_BE_VOLATILE);
  // Without the flag a missing key is made to last.
  _regkey p(HKEY_CURRENT_USER, KEY, false);
  EXPECT_FALSE(p._ERROR || p._READ_ONLY);
  EXPECT_TRUE(p.set_int(2, "Kept"));
  EXPECT_NE(slurp(user_file()).find("\"Kept\"=dword:00000002"), std::string::npos);
}

// A writer killed at any instant leaves the old file or the new one.
TEST_F(Settings, KilledWriterLeavesAWholeFile) {
  const size_t N = 32768;
  {
    _regkey k(HKEY_CURRENT_USER, KEY, false);
    std::string blob(N, '\0');
    ASSERT_TRUE(k.set_binary((const unsigned char*)blob.data(), (int)N, "Blob"));
  }
  for (int round = 0; round < 8; round++) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      _regkey k(HKEY_CURRENT_USER, KEY, false);
      for (unsigned g = 1;; g++) {
        std::string blob(N, (char)(g & 0xFF));
        k.set_binary((const unsigned char*)blob.data(), (int)N, "Blob");
      }
    }
    usleep(3000 + 4000 * round);
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);

    _regkey k(HKEY_CURRENT_USER, KEY, false);
    ASSERT_FALSE(k._ERROR || k._READ_ONLY) << "round " << round;
    std::string got(N, '\x55');
    ASSERT_NE(k.get_binary(&got[0], N, "Blob"), nullptr) << "round " << round;
    EXPECT_EQ(got, std::string(N, got[0])) << "round " << round;
  }
  _regkey k(HKEY_CURRENT_USER, KEY, false);
  EXPECT_TRUE(k.set_int(1, "After"));
  EXPECT_EQ(k.get_int("After"), 1);
}

// Two processes at once: different values both kept, and a read-modify-
// write under the lock never loses a step.
TEST_F(Settings, TwoProcessesKeepEachOthersWrites) {
  const int STEPS = 20;
  {
    _regkey k(HKEY_CURRENT_USER, KEY, false);
    ASSERT_TRUE(k.set_int(0, "Count"));
  }
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t pids[2];
  for (int p = 0; p < 2; p++) {
    pids[p] = fork();
    ASSERT_GE(pids[p], 0);
    if (pids[p] == 0) {
      close(go[1]);
      char c;
      (void)!read(go[0], &c, 1);
      bool ok = true;
      for (int i = 0; i < STEPS; i++) {
        _regkey k(HKEY_CURRENT_USER, KEY, false);
        ok = ok && k.lock();
        int n = k.get_int("Count");
        ok = ok && k.set_int(n + 1, "Count") && k.set_int(i, p ? "B" : "A", i);
        k.unlock();
      }
      _exit(ok ? 0 : 1);
    }
  }
  close(go[0]);
  close(go[1]);  // both start now
  for (pid_t pid : pids) {
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  _regkey k(HKEY_CURRENT_USER, KEY, false);
  EXPECT_EQ(k.get_int("Count"), 2 * STEPS);
  for (int i = 0; i < STEPS; i++) {
    unsigned size = 4;
    char a[16], b[16];
    snprintf(a, sizeof a, "A_%04d", i);
    snprintf(b, sizeof b, "B_%04d", i);
    EXPECT_EQ(plat::reg_query_value(k._KEY, a, nullptr, nullptr, &size), ERROR_SUCCESS) << a;
    EXPECT_EQ(plat::reg_query_value(k._KEY, b, nullptr, nullptr, &size), ERROR_SUCCESS) << b;
    EXPECT_EQ(k.get_int("A", i), i);
  }
}

}  // namespace
