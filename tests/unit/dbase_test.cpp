// Record bases: the field description, the memory store and the file store.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "class/class.h"
#include "platform/platform.h"

namespace {

std::string field(tdbase& b, int element, int rec) {
  return std::string((const char*)b.get(element, rec), b.SIZE_ELEMENT[element]);
}

char status(tdbase& b, int rec) { return *(const char*)b.get(b.NUM_ELEMENT, rec); }

// A private folder for the file store, removed with everything in it.
class temp_dir {
 public:
  temp_dir() {
    char tmpl[] = "/tmp/veskor-dbase-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<unsigned char> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

int le32(const std::vector<unsigned char>& d, size_t at) {
  return (int)(d[at] | d[at + 1] << 8 | d[at + 2] << 16 | (unsigned)d[at + 3] << 24);
}

TEST(FieldDescription, OffsetsWidthsAndTheStatusByte) {
  auto b = std::make_unique<_mbase>("dhcpdev", "s16 s16 s48 c s6", 100, 0);
  ASSERT_EQ(b->NUM_ELEMENT, 5);
  const int off[] = {0, 16, 32, 80, 81}, width[] = {16, 16, 48, 1, 6}, type[] = {0, 0, 0, 3, 0};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(b->OFFSET[i], off[i]) << i;
    EXPECT_EQ(b->SIZE_ELEMENT[i], width[i]) << i;
    EXPECT_EQ(b->TYPE_ELEMENT[i], type[i]) << i;
  }
  EXPECT_EQ(b->OFFSET[5], 87);  // the status byte
  EXPECT_EQ(b->SIZE_ELEMENT[5], 1);
  EXPECT_EQ(b->SIZE_RECORD, 88);

  // Every type with its width; case and blanks do not matter.
  auto all = std::make_unique<_mbase>("", "i F c D t H p", 0, 0);
  ASSERT_EQ(all->NUM_ELEMENT, 7);
  const int w[] = {4, 8, 1, 4, 3, 4, 4};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(all->TYPE_ELEMENT[i], i + 1);
    EXPECT_EQ(all->SIZE_ELEMENT[i], w[i]);
  }
  EXPECT_EQ(all->SIZE_RECORD, 29);

  for (const char* d : {"s4i", "S4I", "s4 i", "S 4 I"}) {
    auto x = std::make_unique<_mbase>("", d, 0, 0);
    ASSERT_EQ(x->NUM_ELEMENT, 2) << d;
    EXPECT_EQ(x->SIZE_ELEMENT[0], 4) << d;
    EXPECT_EQ(x->TYPE_ELEMENT[1], 1) << d;
    EXPECT_EQ(x->SIZE_RECORD, 9) << d;
  }
  // The letter right after s goes with it: a string of width 0, no integer.
  auto si = std::make_unique<_mbase>("", "sic", 0, 0);
  ASSERT_EQ(si->NUM_ELEMENT, 2);
  EXPECT_EQ(si->SIZE_ELEMENT[0], 0);
  EXPECT_EQ(si->TYPE_ELEMENT[1], 3);
  // A trailing s has width 0; a negative width is taken as 0.
  auto tail = std::make_unique<_mbase>("", "c s", 0, 0);
  ASSERT_EQ(tail->NUM_ELEMENT, 2);
  EXPECT_EQ(tail->SIZE_ELEMENT[1], 0);
  EXPECT_EQ(tail->SIZE_RECORD, 2);
  auto neg = std::make_unique<_mbase>("", "s-5 c", 0, 0);
  EXPECT_EQ(neg->SIZE_ELEMENT[0], 0);
  EXPECT_EQ(neg->SIZE_RECORD, 2);
  // At most 99 fields fit the tables.
  std::string many(150, 'c');
  auto big = std::make_unique<_mbase>("", many.c_str(), 0, 0);
  EXPECT_EQ(big->NUM_ELEMENT, 99);
  EXPECT_EQ(big->SIZE_RECORD, 100);
  EXPECT_EQ(big->OFFSET[99], 99);
}

TEST(MemoryBase, AppendSetRemoveAndClear) {
  auto b = std::make_unique<_mbase>("dhcpdev", "s16 i c d", 0, 0);
  EXPECT_EQ(b->append(), 0);
  EXPECT_EQ(b->append(), 1);
  EXPECT_EQ(b->size(), 2);
  EXPECT_EQ(b->LPOS, 1);
  // A fresh record: blanks in strings, zero elsewhere, status 1.
  EXPECT_EQ(field(*b, 0, 0), std::string(16, ' '));
  EXPECT_EQ(field(*b, 1, 0), std::string(4, '\0'));
  EXPECT_EQ(field(*b, 2, 0), std::string(1, '\0'));
  EXPECT_EQ(field(*b, 3, 0), std::string(4, '\0'));
  EXPECT_EQ(status(*b, 0), 1);

  b->set("abc", 0, 0, 1);
  EXPECT_EQ(field(*b, 0, 0), "abc" + std::string(13, ' '));
  b->set("ABCDEFGHIJKLMNOPQRST", 0, 1, 1);  // longer: cut to the width
  EXPECT_EQ(field(*b, 0, 1), "ABCDEFGHIJKLMNOP");
  // The change reached record 0 when record 1 was loaded.
  EXPECT_EQ(field(*b, 0, 0), "abc" + std::string(13, ' '));
  // Without pad the whole width comes from the source.
  char raw[16];
  memset(raw, 'z', sizeof raw);
  raw[2] = 0;
  b->set(raw, 0, 1, 0);
  EXPECT_EQ(field(*b, 0, 1), std::string("zz\0zzzzzzzzzzzzz", 16));
  int n = -7;
  b->set(&n, 1, 0, 1);  // pad means nothing to an integer
  EXPECT_EQ(*(int*)b->get(1, 0), -7);

  b->remove(0);
  EXPECT_EQ(status(*b, 0), 0);
  EXPECT_EQ(*(int*)b->get(1, 0), -7);  // the fields stay readable
  EXPECT_EQ(status(*b, 1), 1);
  EXPECT_EQ(status(*b, 0), 0);  // written back when record 1 was loaded
  b->unremove(0);
  EXPECT_EQ(status(*b, 0), 1);

  // A record the base does not have: get keeps the record loaded last, and
  // set or remove change nothing at all.
  b->get(0, 1);
  EXPECT_EQ(field(*b, 0, 5), field(*b, 0, 1));
  std::string before0 = field(*b, 0, 0), before1 = field(*b, 0, 1);
  b->set("xyz", 0, 5, 1);
  b->set("xyz", 0, -1, 1);
  b->remove(7);
  b->set("xyz", 9, 0, 1);  // no such field
  EXPECT_EQ(b->get(9, 0), nullptr);
  EXPECT_EQ(field(*b, 0, 0), before0);
  EXPECT_EQ(field(*b, 0, 1), before1);
  EXPECT_EQ(status(*b, 1), 1);

  EXPECT_EQ(b->set_modify(), 1);
  b->clear();
  EXPECT_EQ(b->size(), 0);
  EXPECT_EQ(b->modify(), 1);  // the counters survive clear
  EXPECT_EQ(b->append(), 0);
  EXPECT_EQ(field(*b, 0, 0), std::string(16, ' '));
}

TEST(MemoryBase, HoldsAtMost65536Records) {
  auto b = std::make_unique<_mbase>("dhcpdev", "s16 s16 s48 c s6", 100, 0);
  for (int i = 0; i < 65535; ++i) ASSERT_EQ(b->append(), i);
  EXPECT_EQ(b->append(), 65535);
  b->set("last", 0, 65535, 1);
  EXPECT_EQ(b->append(), -1);
  EXPECT_EQ(b->append(), -1);
  EXPECT_EQ(b->size(), 65536);
  // Neither the base nor the pending change of the current record moved.
  EXPECT_EQ(b->LPOS, 65535);
  EXPECT_EQ(field(*b, 0, 65535), "last" + std::string(12, ' '));
  EXPECT_EQ(field(*b, 0, 0), std::string(16, ' '));
  EXPECT_EQ(field(*b, 0, 65535), "last" + std::string(12, ' '));
}

TEST(FileBase, RoundTripHeaderAndPendingChange) {
  temp_dir dir;
  // A Russian file name: the path goes to the file system as UTF-8.
  std::string path = dir.file("база.db");  // a cp1251 literal
  {
    tdbase b(path.c_str(), "s8 i", 0, 0);
    EXPECT_EQ(b.STATUS, 0);
    EXPECT_EQ(b.size(), 0);
    EXPECT_EQ(b.append(), 0);
    EXPECT_EQ(b.OPERATION, b.SIZE_RECORD);
    EXPECT_EQ(b.append(), 1);
    EXPECT_EQ(b.append(), 2);
    b.set("first", 0, 0, 1);
    int v = 1234;
    b.set(&v, 1, 2, 0);
    b.remove(1);
    EXPECT_EQ(b.set_modify(), 1);
    EXPECT_EQ(b.set_modify(), 2);
    EXPECT_EQ(b.new_index(), 1);
    b.set_param(-5);
    b.set("last", 0, 2, 1);  // still pending when the base goes
  }
  std::string fs = dir.file("\xD0\xB1\xD0\xB0\xD0\xB7\xD0\xB0.db");  // the same in UTF-8
  ASSERT_EQ(access(fs.c_str(), F_OK), 0) << "the file name reached the file system as UTF-8";
  auto d = file_bytes(fs);
  ASSERT_EQ(d.size(), 16u + 3 * 13);
  EXPECT_EQ(le32(d, 0), 2);
  EXPECT_EQ(le32(d, 4), 13);
  EXPECT_EQ(le32(d, 8), 1);
  EXPECT_EQ(le32(d, 12), -5);
  EXPECT_EQ(std::string((char*)&d[16 + 2 * 13], 8), "last    ");

  tdbase b(path.c_str(), "s8 i", 0, 0);
  EXPECT_EQ(b.STATUS, 0);
  ASSERT_EQ(b.size(), 3);
  EXPECT_EQ(field(b, 0, 0), "first   ");
  EXPECT_EQ(field(b, 0, 1), "        ");
  EXPECT_EQ(status(b, 1), 0);
  EXPECT_EQ(*(int*)b.get(1, 2), 1234);
  EXPECT_EQ(b.modify(), 2);
  EXPECT_EQ(b.get_param(), -5);
  EXPECT_EQ(b.new_index(), 2);
  b.clear();  // the file store keeps its records
  EXPECT_EQ(b.size(), 3);
}

TEST(FileBase, CompactionTemporaryAndForeignRecordLength) {
  temp_dir dir;
  std::string path = dir.file("c.db");
  {
    tdbase b(path.c_str(), "s4", 0, 0);
    const char* names[] = {"a", "b", "c", "d", "e"};
    for (int i = 0; i < 5; ++i) {
      ASSERT_EQ(b.append(), i);
      b.set(names[i], 0, i, 1);
    }
    b.remove(0);
    b.remove(2);
    b.remove(3);
  }
  {
    tdbase b(path.c_str(), "s4", 0, DB_COMPACT);
    EXPECT_EQ(b.STATUS, 0);
    ASSERT_EQ(b.size(), 2);
    EXPECT_EQ(field(b, 0, 0), "b   ");
    EXPECT_EQ(field(b, 0, 1), "e   ");
    EXPECT_EQ(status(b, 0), 1);
    EXPECT_EQ(status(b, 1), 1);
  }
  EXPECT_EQ(file_bytes(path).size(), 16u + 2 * 5);
  {
    // One removed record alone is left as it is.
    tdbase one(dir.file("one.db").c_str(), "s4", 0, 0);
    one.append();
    one.remove(0);
  }
  {
    tdbase one(dir.file("one.db").c_str(), "s4", 0, DB_COMPACT);
    EXPECT_EQ(one.size(), 1);
  }

  // Another record length: the header takes the new one, STATUS says so,
  // and compaction does not touch records it cannot read as such.
  {
    tdbase b(path.c_str(), "s8", 0, DB_COMPACT);
    EXPECT_EQ(b.STATUS, 2);
    EXPECT_EQ(b.SIZE_RECORD, 9);
    EXPECT_EQ(b.size(), 1);  // 10 bytes of records hold one of 9
  }
  auto d = file_bytes(path);
  EXPECT_EQ(le32(d, 4), 9);
  EXPECT_EQ(d.size(), 26u);
  {
    tdbase b(path.c_str(), "s8", 0, 0);
    EXPECT_EQ(b.STATUS, 0);
  }

  // A file shorter than a header gets a fresh one.
  std::string stub = dir.file("stub.db");
  { std::ofstream(stub) << "xyz"; }
  {
    tdbase b(stub.c_str(), "i", 0, 0);
    EXPECT_EQ(b.STATUS, 0);
    EXPECT_EQ(b.size(), 0);
  }
  d = file_bytes(stub);
  ASSERT_EQ(d.size(), 16u);
  EXPECT_EQ(le32(d, 0), 0);
  EXPECT_EQ(le32(d, 4), 5);

  // Temporary: gone with the base.
  std::string tmp = dir.file("tmp.db");
  {
    tdbase b(tmp.c_str(), "i", 0, DB_TEMPORARY);
    b.append();
    EXPECT_EQ(access(tmp.c_str(), F_OK), 0);
  }
  EXPECT_NE(access(tmp.c_str(), F_OK), 0);

  // A folder that does not exist, a folder, a device: nothing to open.
  for (std::string bad : {dir.file("no/such.db"), dir.path(), std::string("/dev/null")}) {
    tdbase none(bad.c_str(), "i", 0, 0);
    EXPECT_EQ(none.STATUS, 1) << bad;
    EXPECT_EQ(none.size(), 0) << bad;
    EXPECT_EQ(none.append(), -1) << bad;
  }
}

TEST(FileBase, CacheWindowAndLockAgainstASecondBase) {
  temp_dir dir;
  std::string path = dir.file("l.db");
  tdbase a(path.c_str(), "i", 2, 0);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(a.append(), i);
    a.set(&i, 0, i, 0);
  }
  a.update();
  // Reads walk through the two-record window; writes go through it.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(*(int*)a.get(0, i), i);
  int v = 40;
  a.set(&v, 0, 4, 0);
  a.update();
  EXPECT_EQ(*(int*)a.get(0, 3), 3);
  EXPECT_EQ(*(int*)a.get(0, 4), 40);
  {
    tdbase other(path.c_str(), "i", 0, 0);
    EXPECT_EQ(*(int*)other.get(0, 4), 40);
  }

  // While a holds the file, another base waits for it instead of failing.
  a.lock();
  EXPECT_TRUE(a.LOCK);
  std::atomic<int> appended(-2);
  std::thread t([&] {
    tdbase b(path.c_str(), "i", 0, 0);
    appended = b.append();
  });
  plat::sleep_ms(150);
  EXPECT_EQ(appended.load(), -2);  // still waiting: a holds the file
  EXPECT_EQ(a.size(), 5);
  a.unlock();
  t.join();
  EXPECT_EQ(appended.load(), 5);
  EXPECT_EQ(a.size(), 6);
  EXPECT_FALSE(a.LOCK);
}

std::string text_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(RegistryBase, RoundTripOnTheSettingsHive) {
  temp_dir dir;
  setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
  std::string hive = dir.file("veskor/HKEY_CURRENT_USER.reg");
  {
    _rbase b("devices", "s8 i", 0, DB_USER);
    EXPECT_EQ(b.STATUS, 0);
    EXPECT_FALSE(b.READ_ONLY);
    EXPECT_EQ(b.size(), 0);
    tdbquery q(&b);
    EXPECT_EQ(q.append(), 0);
    EXPECT_EQ(q.append(), 1);
    EXPECT_EQ(q.append(), 2);
    q.set_string("first", 0, 0);
    q.set_int(-9, 1, 0);
    q.set_string("second", 0, 1);
    q.remove(2);  // announces a change too
    EXPECT_EQ(q.new_index(), 1);
    q.set_param(77);
    q.set_int(5, 1, 1);  // still pending when the base goes
  }
  std::string text = text_of(hive);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Quarnel\\Bases\\devices]"), std::string::npos) << text;
  EXPECT_NE(text.find("\"SizeRecord\"=dword:0000000d"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Size\"=dword:00000003"), std::string::npos) << text;
  EXPECT_NE(text.find("\"X00000001\"=hex:"), std::string::npos) << text;
  {
    _rbase b("devices", "s8 i", 2, DB_USER);
    EXPECT_EQ(b.STATUS, 0);
    EXPECT_EQ(b.modify(), 1);
    EXPECT_EQ(b.get_param(), 77);
    tdbquery q(&b);
    q.query();  // the removed record is left out
    ASSERT_EQ(q.size(), 2);
    EXPECT_STREQ(q.get_string(0, 0), "first   ");
    EXPECT_EQ(q.get_int(1, 0), -9);
    EXPECT_STREQ(q.get_string(0, 1), "second  ");
    EXPECT_EQ(q.get_int(1, 1), 5);
    q.clear();
    EXPECT_EQ(b.size(), 0);
  }
  {
    // Another field description: the base says so.
    _rbase b("devices", "s8 i c", 0, DB_USER);
    EXPECT_EQ(b.STATUS, 8);
  }
  {
    _rbase t("scratch", "i", 0, DB_USER | DB_TEMPORARY);
    t.append();
  }
  EXPECT_EQ(text_of(hive).find("X00000000"), std::string::npos);

  // A machine hive that cannot be parsed is never written: the base opens
  // for reading only; a key that is not there cannot be opened at all.
  std::string sys = dir.file("machine.reg");
  {
    std::ofstream out(sys);
    out << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Quarnel\\Bases\\fixed]\n"
        << "\"SizeRecord\"=dword:00000005\n\"Size\"=dword:00000001\n"
        << "\"X00000000\"=hex:2a,00,00,00,01\nthis line is not REGEDIT4\n";
  }
  setenv("VESKOR_SYSTEM_HIVE", sys.c_str(), 1);
  {
    _rbase b("fixed", "i", 0, 0);
    EXPECT_EQ(b.STATUS, 0);
    EXPECT_TRUE(b.READ_ONLY);
    EXPECT_EQ(b.size(), 1);
    EXPECT_EQ(*(int*)b.get(0, 0), 42);
    EXPECT_EQ(b.append(), -1);
    int v = 1;
    b.set(&v, 0, 0, 0);
  }
  {
    _rbase b("missing", "i", 0, 0);
    EXPECT_EQ(b.STATUS, 2);
    EXPECT_EQ(b.size(), 0);
    EXPECT_EQ(b.append(), -1);
  }
  EXPECT_NE(text_of(sys).find("2a,00,00,00,01"), std::string::npos);
  unsetenv("VESKOR_SYSTEM_HIVE");
}

}  // namespace
