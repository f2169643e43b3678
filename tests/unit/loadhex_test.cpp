// The HEX image reader: records as written by real tools, the reader's own
// failure rules, hostile input, and a cross-check against objcopy.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "class/class.h"
#include "loadhex/hexstream.h"
#include "loadhex/loadhex.h"

namespace {

const unsigned IMAGE = sizeof MEMORY_MAP;

// One record with its checksum; `lower` writes the digits in lower case.
std::string rec(unsigned type, unsigned address, const std::vector<unsigned char>& data = {},
                bool lower = false)
{
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
  char head[16];
  std::snprintf(head, sizeof head, lower ? ":%02x%04x%02x" : ":%02X%04X%02X",
                static_cast<unsigned>(data.size()), address, type);
  std::string s = head;
  for (unsigned char b : data) {
    char h[4];
    std::snprintf(h, sizeof h, lower ? "%02x" : "%02X", b);
    s += h;
    sum += b;
  }
  char c[4];
  std::snprintf(c, sizeof c, lower ? "%02x" : "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return s + c;
}

std::string segment(unsigned value) { return rec(2, 0, {static_cast<unsigned char>(value >> 8),
                                                       static_cast<unsigned char>(value)}); }
std::string linear(unsigned value) { return rec(4, 0, {static_cast<unsigned char>(value >> 8),
                                                      static_cast<unsigned char>(value)}); }
const std::string END = ":00000001FF";

std::vector<unsigned char> bytes(unsigned n, unsigned first)
{
  std::vector<unsigned char> v(n);
  for (unsigned i = 0; i < n; i++) v[i] = static_cast<unsigned char>(first + i);
  return v;
}

class LoadHex : public ::testing::Test {
protected:
  void SetUp() override
  {
    char tmpl[] = "/tmp/loadhex_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    DIR = tmpl;
    FILE_PATH = DIR + "/image.hex";
  }

  // The image globals go back to what the program starts with, whatever
  // the test did to them, and no code is left waiting in the ring.
  void TearDown() override
  {
    std::error_code ignored;
    std::filesystem::remove_all(DIR, ignored);
    std::memset(MEMORY_MAP, 0, IMAGE);
    PROGRAMM_SIZE = 0;
    page_size = 512;
    page_count = 255;
    LAST_HEX_FILE = hex_file_info();
    CURRENT = LAST;
  }

  void write(const std::string& text, const std::string& path)
  {
    std::ofstream(path, std::ios::binary) << text;
  }

  // Reads `text` as a HEX file. An Esc waits in the event queue so that an
  // error box closes at once; `SHOWN` tells whether the box took it.
  bool read(const std::string& text)
  {
    write(text, FILE_PATH);
    return read_path(FILE_PATH);
  }

  bool read_path(std::string path)
  {
    CURRENT = LAST;
    int esc = LAST;
    set_key(KEY_ESC, nullptr, 0, 0, 0);
    bool ok = load_hex_data(&path[0]);
    SHOWN = CURRENT != esc;
    CURRENT = LAST;
    return ok;
  }

  // Every byte outside the given [from, to) ranges is still erased.
  ::testing::AssertionResult erased_except(std::vector<std::pair<unsigned, unsigned>> kept)
  {
    for (unsigned i = 0; i < IMAGE; i++) {
      bool in = false;
      for (auto& [from, to] : kept) in |= i >= from && i < to;
      if (!in && MEMORY_MAP[i] != 0xFF)
        return ::testing::AssertionFailure() << "byte " << std::hex << i << " is " << int(MEMORY_MAP[i]);
    }
    return ::testing::AssertionSuccess();
  }
  ::testing::AssertionResult erased_outside(unsigned from, unsigned to) { return erased_except({{from, to}}); }
  ::testing::AssertionResult all_erased() { return erased_except({}); }

  std::vector<unsigned char> image(unsigned at, unsigned n)
  {
    return std::vector<unsigned char>(MEMORY_MAP + at, MEMORY_MAP + at + n);
  }

  std::string DIR, FILE_PATH;
  bool SHOWN = false;
};

TEST_F(LoadHex, GlobalsStartAsDeclared)
{
  EXPECT_EQ(IMAGE, 131072u);
  EXPECT_EQ(page_size, 512);
  EXPECT_EQ(page_count, 255);
  EXPECT_EQ(PROGRAMM_SIZE, 0);
}

TEST_F(LoadHex, OneRecordAndItsChecksum)
{
  std::memset(MEMORY_MAP, 0, IMAGE);
  EXPECT_TRUE(read(":0400000001020304F2\r\n" + END + "\r\n"));
  EXPECT_FALSE(SHOWN);
  EXPECT_EQ(image(0, 4), bytes(4, 1));
  EXPECT_TRUE(erased_outside(0, 4));
  EXPECT_EQ(PROGRAMM_SIZE, 4);

  // A wrong checksum is found after the record's bytes went in.
  PROGRAMM_SIZE = 0;
  EXPECT_FALSE(read(":0400000001020304F3\n" + END + "\n"));
  EXPECT_TRUE(SHOWN);
  EXPECT_EQ(image(0, 4), bytes(4, 1));
  EXPECT_EQ(PROGRAMM_SIZE, 4);

  // An empty record has only its checksum to get right.
  EXPECT_TRUE(read(":00001000F0\n"));
  EXPECT_FALSE(SHOWN);
  EXPECT_FALSE(read(":00001000F1\n"));
  EXPECT_TRUE(SHOWN);
  EXPECT_TRUE(all_erased());
  EXPECT_EQ(PROGRAMM_SIZE, 4);
}

TEST_F(LoadHex, NothingToReadIsSuccessAndKeepsTheSize)
{
  PROGRAMM_SIZE = 0x1234;
  for (const std::string& text : {std::string(), std::string("no records here\r\n"), END,
                                 rec(4, 0, {0, 1}) + "\n" + END}) {
    std::memset(MEMORY_MAP, 0, IMAGE);
    EXPECT_TRUE(read(text)) << text;
    EXPECT_FALSE(SHOWN);
    EXPECT_TRUE(all_erased());
    EXPECT_EQ(PROGRAMM_SIZE, 0x1234);
  }
}

TEST_F(LoadHex, FileThatCannotBeOpenedIsQuiet)
{
  PROGRAMM_SIZE = 77;
  std::memset(MEMORY_MAP, 0, IMAGE);
  EXPECT_FALSE(read_path(DIR + "/missing.hex"));
  EXPECT_FALSE(SHOWN);
  EXPECT_TRUE(all_erased());
  EXPECT_EQ(PROGRAMM_SIZE, 77);

  // A directory opens here but cannot be read: that is no successful read.
  EXPECT_FALSE(read_path(DIR));
  EXPECT_TRUE(all_erased());
  EXPECT_EQ(PROGRAMM_SIZE, 77);
}

TEST_F(LoadHex, SizeFollowsFileOrderAndEndRecordStopsTheRead)
{
  // No end record: the end of the file ends the data.
  EXPECT_TRUE(read(rec(0, 0x100, bytes(16, 0x40)) + "\n" + rec(0, 0, bytes(16, 0x80)) + "\n"));
  EXPECT_EQ(PROGRAMM_SIZE, 0x10);
  EXPECT_EQ(image(0x100, 16), bytes(16, 0x40));
  EXPECT_EQ(image(0, 16), bytes(16, 0x80));
  EXPECT_TRUE(erased_except({{0, 0x10}, {0x100, 0x110}}));

  // Whatever follows the end record is not read, not even bad records.
  EXPECT_TRUE(read(rec(0, 0, {1}) + "\n" + END + "\n" + rec(0, 8, {2}) + "\n:zz\n"));
  EXPECT_FALSE(SHOWN);
  EXPECT_EQ(MEMORY_MAP[0], 1);
  EXPECT_EQ(MEMORY_MAP[8], 0xFF);
  EXPECT_EQ(PROGRAMM_SIZE, 1);

}

TEST_F(LoadHex, SegmentRecordsPlaceDataAboveSixtyFourK)
{
  EXPECT_TRUE(read(segment(0x1000) + "\n" + rec(0, 0x10, {0xAB, 0xCD}) + "\n" + END));
  EXPECT_EQ(image(0x10010, 2), (std::vector<unsigned char>{0xAB, 0xCD}));
  EXPECT_TRUE(erased_outside(0x10010, 0x10012));
  EXPECT_EQ(PROGRAMM_SIZE, 0x10012);

  // A segment record's checksum is not checked, nor its length.
  EXPECT_TRUE(read(":020000021000EB\n" + rec(0, 0x20, {7}) + "\n:05000002080000\n" + rec(0, 0x20, {8})));
  EXPECT_FALSE(SHOWN);
  EXPECT_EQ(MEMORY_MAP[0x10020], 7);
  EXPECT_EQ(MEMORY_MAP[0x8020], 8);

  // A record reaching past 0xFFFF runs on into the next 64 KB instead of wrapping.
  EXPECT_TRUE(read(rec(0, 0xFFFE, {1, 2, 3, 4})));
  EXPECT_EQ(image(0xFFFE, 4), bytes(4, 1));
  EXPECT_EQ(MEMORY_MAP[0], 0xFF);
  EXPECT_EQ(PROGRAMM_SIZE, 0x10002);
}

// Extended linear address records give the upper 16 bits of the address;
// whichever of them and the segment record came last sets the base.
TEST_F(LoadHex, LinearAddressRecordsSetTheUpperSixteenBits)
{
  EXPECT_TRUE(read(linear(1) + "\n" + rec(0, 0x10, {0xAB, 0xCD}) + "\n" + END));
  EXPECT_FALSE(SHOWN);
  EXPECT_EQ(image(0x10010, 2), (std::vector<unsigned char>{0xAB, 0xCD}));
  EXPECT_TRUE(erased_outside(0x10010, 0x10012));
  EXPECT_EQ(PROGRAMM_SIZE, 0x10012);

  EXPECT_TRUE(read(linear(1) + "\n" + rec(0, 0x30, {9}) + "\n" + segment(0x800) + "\n" +
                   rec(0, 0x30, {10}) + "\n" + linear(0) + "\n" + rec(0, 0x31, {11}) + "\n" +
                   segment(0x1000) + "\n" + linear(1) + "\n" + rec(0, 0x40, {12})));
  EXPECT_FALSE(SHOWN);
  EXPECT_EQ(MEMORY_MAP[0x10030], 9);
  EXPECT_EQ(MEMORY_MAP[0x8030], 10);
  EXPECT_EQ(MEMORY_MAP[0x31], 11);
  EXPECT_EQ(MEMORY_MAP[0x10040], 12);
  EXPECT_TRUE(erased_except({{0x31, 0x32}, {0x8030, 0x8031}, {0x10030, 0x10031}, {0x10040, 0x10041}}));

  // The address runs on past 0xFFFF, and the image's end is the same bound.
  EXPECT_FALSE(read(linear(1) + "\n" + rec(0, 0xFFFE, {1, 2, 3, 4})));
  EXPECT_TRUE(SHOWN);
  EXPECT_EQ(image(0x1FFFE, 2), bytes(2, 1));
  EXPECT_TRUE(erased_outside(0x1FFFE, 0x20000));
  for (unsigned high : {2u, 0xFFFFu}) {
    EXPECT_FALSE(read(linear(high) + "\n" + rec(0, 0xFFFF, {1})));
    EXPECT_TRUE(SHOWN);
    EXPECT_TRUE(all_erased());
  }

  // The record holds exactly two bytes, and its checksum counts.
  for (const std::string& bad : {rec(4, 0, {1}), rec(4, 0, {0, 0, 1}), std::string(":020000040001FA")}) {
    EXPECT_FALSE(read(bad + "\n" + rec(0, 0, {1}))) << bad;
    EXPECT_TRUE(SHOWN) << bad;
    EXPECT_TRUE(all_erased()) << bad;
  }
}

// Every record but the segment record carries a checksum that is checked:
// one damaged type digit must neither turn data into an end record (a
// truncated image) nor into a record that is passed over (a hole).
TEST_F(LoadHex, EveryRecordButTheSegmentRecordIsChecksummed)
{
  const std::string data = rec(0, 0x10, {1, 2, 3, 4});   // :04001000 01020304 E2
  for (char type : {'1', '2', '3', '4', '5', '6', 'F'}) {
    std::string damaged = data;
    damaged[8] = type;
    bool ok = read(rec(0, 0, {9}) + "\n" + damaged + "\n" + rec(0, 0x20, {5}) + "\n" + END);
    EXPECT_EQ(MEMORY_MAP[0], 9);
    if (type == '2') {
      // The segment record's leniency stays: it reads 0x0102 as the segment.
      EXPECT_TRUE(ok);
      EXPECT_EQ(MEMORY_MAP[0x1020 + 0x20], 5);
      continue;
    }
    EXPECT_FALSE(ok) << damaged;
    EXPECT_TRUE(SHOWN) << damaged;
    EXPECT_EQ(MEMORY_MAP[0x20], 0xFF) << "read went on after " << damaged;
  }
  EXPECT_FALSE(read(rec(0, 0, {1}) + "\n:00000001AA\n"));
  EXPECT_TRUE(SHOWN);
  EXPECT_FALSE(read(rec(0, 0, {1}) + "\n:0400000312345678FF\n"));
  EXPECT_TRUE(SHOWN);

  // Well-formed records of the other types are passed over, start addresses
  // and unknown types alike; their data counts in the checksum.
  EXPECT_TRUE(read(rec(3, 0, {0x12, 0x34, 0x56, 0x78}) + "\n" + rec(5, 0, {0, 0, 1, 0}) + "\n" +
                   rec(0x0A, 0x1234, bytes(7, 0)) + "\n" + rec(0, 0x40, {6}) + "\n" + END));
  EXPECT_FALSE(SHOWN);
  EXPECT_EQ(MEMORY_MAP[0x40], 6);
  EXPECT_TRUE(erased_outside(0x40, 0x41));
}

// Paths are cp1251 like every text of the program, so a folder with a
// Russian name must open. Only a regular file of at most 16 MB is read;
// anything else fails at once with the message instead of reading (or
// waiting) for ever.
TEST_F(LoadHex, RussianFoldersOpenAndOnlyRegularFilesOfBoundedSizeAreRead)
{
  ASSERT_EQ(mkdir((DIR + u8"/прошивка").c_str(), 0755), 0);
  write(rec(0, 0x10, {1, 2}) + "\n" + END, DIR + u8"/прошивка/образ.hex");
  EXPECT_TRUE(read_path(DIR + "/прошивка/образ.hex"));
  EXPECT_FALSE(SHOWN);
  EXPECT_EQ(image(0x10, 2), bytes(2, 1));
  EXPECT_TRUE(erased_outside(0x10, 0x12));

  // A read that never ends kills the test instead of hanging it.
  alarm(60);
  const std::string fifo = DIR + "/pipe.hex";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {std::string("/dev/zero"), fifo, DIR}) {
    std::memset(MEMORY_MAP, 0, IMAGE);
    PROGRAMM_SIZE = 77;
    EXPECT_FALSE(read_path(path)) << path;
    EXPECT_TRUE(SHOWN) << path;
    EXPECT_TRUE(all_erased()) << path;
    EXPECT_EQ(PROGRAMM_SIZE, 77);
  }

  // Sixteen megabytes are read, one byte more is not.
  const std::string big = DIR + "/big.hex";
  write(rec(0, 0, {7}) + "\n", big);
  ASSERT_EQ(truncate(big.c_str(), 16 << 20), 0);
  EXPECT_TRUE(read_path(big));
  EXPECT_FALSE(SHOWN);
  EXPECT_EQ(MEMORY_MAP[0], 7);
  ASSERT_EQ(truncate(big.c_str(), (16 << 20) + 1), 0);
  EXPECT_FALSE(read_path(big));
  EXPECT_TRUE(SHOWN);
  EXPECT_TRUE(all_erased());
  alarm(0);
}

TEST_F(LoadHex, TextVariantsOfTheSameImage)
{
  const std::string data = rec(0, 0x200, bytes(32, 0xE0));
  std::string lower = data;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  const std::string variants[] = {
      data + "\r\n" + END + "\r\n",
      lower + "\n" + END + "\n",
      "\n\n  " + data + "  \t\r\n\r\n   " + END,
      data + END,               // no line ends at all
      data + "\r" + END + "\r", // old Macintosh line ends
      // Scanner rules: blanks before every field, short fields end at a blank.
      ": 20 200 0 " + data.substr(9),
  };
  for (const std::string& text : variants) {
    EXPECT_TRUE(read(text)) << text;
    EXPECT_FALSE(SHOWN) << text;
    EXPECT_EQ(image(0x200, 32), bytes(32, 0xE0)) << text;
    EXPECT_TRUE(erased_outside(0x200, 0x220)) << text;
  }
}

TEST_F(LoadHex, SecondReadErasesTheFirstImage)
{
  EXPECT_TRUE(read(rec(0, 0x40, bytes(8, 1))));
  EXPECT_EQ(PROGRAMM_SIZE, 0x48);
  EXPECT_TRUE(read(segment(0x20) + "\n" + END));
  EXPECT_TRUE(all_erased());
  EXPECT_EQ(PROGRAMM_SIZE, 0x48);
}

// A byte beyond the image is never written, and the read fails so that an
// image that does not fit is not taken for a good one.
TEST_F(LoadHex, DataBeyondTheImageFailsTheRead)
{
  PROGRAMM_SIZE = 5;
  EXPECT_FALSE(read(segment(0x2000) + "\n" + rec(0, 0, {1}) + "\n" + END));
  EXPECT_TRUE(SHOWN);
  EXPECT_TRUE(all_erased());
  EXPECT_EQ(PROGRAMM_SIZE, 5);

  // Straddling the end: the bytes that fit go in, then the read stops.
  EXPECT_FALSE(read(segment(0x1000) + "\n" + rec(0, 0xFFFE, {1, 2, 3, 4}) + "\n" + END));
  EXPECT_TRUE(SHOWN);
  EXPECT_EQ(image(0x1FFFE, 2), bytes(2, 1));
  EXPECT_TRUE(erased_outside(0x1FFFE, 0x20000));
  EXPECT_EQ(PROGRAMM_SIZE, 0x20000);

  // The highest address a file can name.
  EXPECT_FALSE(read(segment(0xFFFF) + "\n" + rec(0, 0xFFFF, std::vector<unsigned char>(255, 0x5A))));
  EXPECT_TRUE(SHOWN);
  EXPECT_TRUE(all_erased());

  // Filling the image to its last byte is fine.
  EXPECT_TRUE(read(segment(0x1000) + "\n" + rec(0, 0xFFF0, bytes(16, 0))));
  EXPECT_FALSE(SHOWN);
  EXPECT_EQ(image(0x1FFF0, 16), bytes(16, 0));
  EXPECT_EQ(PROGRAMM_SIZE, 0x20000);
}

// A field without a hexadecimal digit where one is due (foreign characters,
// or the end of the file) fails the read with the message.
TEST_F(LoadHex, RecordWithForeignCharactersFails)
{
  const std::string good = rec(0, 0x10, {1, 2, 3, 4});   // :04001000 01020304 E2
  for (size_t at = 1; at < good.size(); at += 2) {
    std::string bad = good;
    bad[at] = 'G';
    EXPECT_FALSE(read(rec(0, 0, {9}) + "\n" + bad + "\n" + rec(0, 0x20, {5}) + "\n" + END))
        << bad;
    EXPECT_TRUE(SHOWN) << bad;
    EXPECT_EQ(MEMORY_MAP[0x20], 0xFF) << "read went on after " << bad;
    EXPECT_EQ(MEMORY_MAP[0], 9);
  }
  // Stray text containing a colon is no record either.
  EXPECT_FALSE(read("Note: see below\n" + rec(0, 0, {1})));
  EXPECT_TRUE(SHOWN);
  EXPECT_FALSE(read(rec(0, 0, {1}) + "\n:\n"));
  EXPECT_TRUE(SHOWN);
  EXPECT_FALSE(read(segment(0x1000).substr(0, 9) + "xyz\n" + rec(0, 0, {1})));
  EXPECT_TRUE(SHOWN);
  EXPECT_EQ(MEMORY_MAP[0], 0xFF);
}

TEST_F(LoadHex, FileCutShortInsideARecordFails)
{
  const std::string records[] = {rec(0, 0x100, bytes(16, 0x30)), segment(0x1000),
                                 rec(0, 0x10, {0xA1, 0xB2, 0xC3}), rec(0, 0x80, bytes(4, 0x90))};
  std::string text;
  std::vector<std::pair<size_t, size_t>> inside;   // from the colon to the last digit
  for (const std::string& r : records) {
    // A segment record's checksum is not checked: one digit of it will do.
    size_t unchecked = r == records[1] ? 1 : 0;
    inside.push_back({text.size() + 1, text.size() + r.size() - unchecked});
    text += r + "\r\n";
  }
  for (size_t cut = 0; cut <= text.size(); cut++) {
    bool cut_inside = false;
    for (auto& [from, to] : inside) cut_inside |= cut >= from && cut < to;
    bool ok = read(text.substr(0, cut));
    EXPECT_EQ(ok, !cut_inside) << "cut at " << cut;
    EXPECT_EQ(SHOWN, cut_inside) << "cut at " << cut;
  }
}

TEST_F(LoadHex, GarbageAlwaysEnds)
{
  std::mt19937 rng(20240511);
  std::string alphabet = "0123456789abcdefABCDEF::::  \r\n\tG";
  alphabet += {'\0', '\xff', '\x80'};
  for (int n = 0; n < 300; n++) {
    size_t len = rng() % 3000;
    std::string text(len, '\0');
    for (char& c : text)
      c = (n % 2) ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng());
    if (n % 3 == 0) text = rec(0, rng() & 0xFFFF, bytes(rng() % 40, rng())) + text;
    int before = PROGRAMM_SIZE;
    bool ok = read(text);
    EXPECT_EQ(ok, !SHOWN);
    EXPECT_LE(PROGRAMM_SIZE, static_cast<int>(IMAGE));
    if (text.find(':') == std::string::npos) {
      EXPECT_TRUE(ok);
      EXPECT_EQ(PROGRAMM_SIZE, before);
    }
  }
}

TEST_F(LoadHex, HugeFilesEnd)
{
  // Nearly sixteen megabytes (the most a file may hold) of records writing
  // the image over and over.
  std::string block;
  for (unsigned seg = 0; seg < 0x2000; seg += 0x1000) {
    block += segment(seg) + "\n";
    for (unsigned a = 0; a < 0x10000; a += 32) block += rec(0, a, bytes(32, a / 32)) + "\n";
  }
  std::string text;
  while (text.size() + block.size() <= (16u << 20)) text += block;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(read(text));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_EQ(PROGRAMM_SIZE, 0x20000);
  EXPECT_EQ(image(0x1FFE0, 32), bytes(32, 0xFF));

  // Megabytes without a record, and one record whose fields never come.
  EXPECT_TRUE(read(std::string(8u << 20, 'x')));
  EXPECT_FALSE(SHOWN);
  EXPECT_FALSE(read(":" + std::string(8u << 20, ' ')));
  EXPECT_TRUE(SHOWN);
  EXPECT_FALSE(read(":04000000" + std::string(8u << 20, '\n') + "01"));
  EXPECT_TRUE(SHOWN);
}

// Random valid files read by objcopy into a binary image must give the same
// bytes: records of type 00, 01, 02 and 04, gaps, shuffled order, mixed case
// and line ends. Where both address records appear, each data record is
// preceded by both, the unused one zero: objcopy adds the two bases where
// this reader takes the last one, and with one of them zero both agree.
TEST_F(LoadHex, AgreesWithObjcopy)
{
  if (std::system("objcopy --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "objcopy missing";
  std::mt19937 rng(7031);
  for (int round = 0; round < 30; round++) {
    const int mode = round % 3;   // 0: segment records, 1: linear records, 2: both
    std::vector<bool> used(IMAGE, false);
    std::vector<std::string> records;
    std::vector<unsigned> ends;   // one past each record's last byte, in record order
    unsigned lo = IMAGE, hi = 0;
    int blocks = 1 + rng() % 12;
    for (int b = 0; b < blocks; b++) {
      unsigned len = 1 + rng() % 700;
      unsigned start = rng() % (IMAGE - len);
      if (round == 0 && b == 0) start = 0, len = 600;
      if (round == 0 && b == 1) start = IMAGE - 300, len = 300;
      bool clash = false;
      for (unsigned i = start; i < start + len; i++) clash |= used[i];
      if (clash) continue;
      for (unsigned i = start; i < start + len; i++) used[i] = true;
      lo = std::min(lo, start);
      hi = std::max(hi, start + len);
      for (unsigned at = start; at < start + len;) {
        unsigned n = std::min<unsigned>(1 + rng() % 32, start + len - at);
        std::string base;
        unsigned offset;
        if (mode == 1 || (mode == 2 && rng() % 2)) {
          // The 64 KB the record starts in; it must not run out of it.
          n = std::min(n, 0x10000 - (at & 0xFFFF));
          base = (mode == 2 ? segment(0) + "\n" : "") + linear(at >> 16);
          offset = at & 0xFFFF;
        } else {
          // Any segment that reaches the record without crossing 64 KB inside it.
          unsigned seg_lo = at + n > 0x10000 ? (at + n - 0x10000 + 15) / 16 : 0;
          unsigned seg = seg_lo + rng() % (at / 16 - seg_lo + 1);
          base = (mode == 2 ? linear(0) + "\n" : "") + segment(seg);
          offset = at - seg * 16;
        }
        std::vector<unsigned char> data(n);
        for (auto& d : data) d = static_cast<unsigned char>(rng());
        bool lower = rng() % 2;
        records.push_back(base + (lower ? "\n" : "\r\n") + rec(0, offset, data, lower));
        ends.push_back(at + n);
        at += n;
      }
    }
    std::vector<size_t> order(records.size());
    for (size_t i = 0; i < order.size(); i++) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    std::string text;
    for (size_t i : order) text += records[i] + (rng() % 2 ? "\n" : "\r\n");
    if (round % 4) text += END + "\n";

    write(text, FILE_PATH);
    std::string bin = DIR + "/image.bin";
    std::string cmd = "objcopy -I ihex -O binary --gap-fill 0xff '" + FILE_PATH + "' '" + bin + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream in(bin, std::ios::binary);
    std::vector<unsigned char> expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    ASSERT_TRUE(read_path(FILE_PATH)) << "round " << round;
    EXPECT_FALSE(SHOWN);
    ASSERT_EQ(expected.size(), hi - lo) << "round " << round;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), MEMORY_MAP + lo)) << "round " << round;
    EXPECT_TRUE(erased_outside(lo, hi)) << "round " << round;
    EXPECT_EQ(PROGRAMM_SIZE, static_cast<int>(ends[order.back()])) << "round " << round;
  }
}

// The reader says what the file held, so a caller can refuse to flash a
// file that reads "successfully" but is empty or cut off.
TEST_F(LoadHex, WhatTheFileHeldDecidesWhetherItCanBeFlashed)
{
  const std::string data = rec(0, 0x10, {1, 2, 3, 4}) + "\r\n";
  struct {
    std::string text;
    bool has_data, has_end;
    const char* verdict;
  } cases[] = {
      {"", false, false, "Файл прошивки пуст или обрезан: нет данных."},
      {"just some text\n", false, false, "Файл прошивки пуст или обрезан: нет данных."},
      {END + "\n", false, true, "Файл прошивки пуст или обрезан: нет данных."},
      {data + data, true, false, "Файл прошивки пуст или обрезан: нет записи конца файла."},
      {data + END + "\r\n", true, true, nullptr},
      // The reader passes over what is no record, but an image without it
      // is not what the file meant: a data line that lost its colon, digits
      // after a checksum, a type no tool writes (a damaged type digit).
      {data + "04002000AABBCCDDEA\r\n" + END, true, true, "Файл прошивки повреждён: строка 2: текст вне записей."},
      {rec(0, 0x10, {1, 2, 3, 4}) + "FF\n" + data + END, true, true,
       "Файл прошивки повреждён: строка 1: текст вне записей."},
      {data + ":0100000702F6\r\n" + data + "x\n" + END, true, true,
       "Файл прошивки повреждён: строка 2: запись неизвестного типа."},
      // Start addresses, blank lines and whatever follows the end record are
      // no damage.
      {data + ":0400000500000000F7\r\n\r\n \t\f\n" + END + "\r\n\x1a junk", true, true, nullptr},
  };
  for (auto& c : cases) {
    PROGRAMM_SIZE = 99;
    EXPECT_TRUE(read(c.text)) << c.text;
    const hex_file_info& i = LAST_HEX_FILE;
    EXPECT_TRUE(i.opened) << c.text;
    EXPECT_EQ(i.has_data, c.has_data) << c.text;
    EXPECT_EQ(i.has_end, c.has_end) << c.text;
    EXPECT_EQ(i.error, nullptr) << c.text;
    EXPECT_EQ(i.error_line, 0) << c.text;
    EXPECT_EQ(i.stored, c.has_data) << c.text;
    EXPECT_EQ(PROGRAMM_SIZE, c.has_data ? 0x14 : 99) << c.text;
    EXPECT_EQ(hex_not_flashable(i), c.verdict ? c.verdict : "") << c.text;
  }
  EXPECT_FALSE(read_path(DIR + "/missing.hex"));
  EXPECT_FALSE(LAST_HEX_FILE.opened);
  EXPECT_EQ(LAST_HEX_FILE.error, nullptr);

  // The core fills only the image it is given.
  write(segment(0x1000) + "\n" + data + END, FILE_PATH);
  std::vector<unsigned char> own(IMAGE, 0);
  std::memset(MEMORY_MAP, 0x11, IMAGE);
  PROGRAMM_SIZE = 5;
  hex_file_info info;
  info.error_line = 42;
  EXPECT_TRUE(read_hex_file(FILE_PATH.c_str(), own.data(), info));
  EXPECT_EQ(std::vector<unsigned char>(own.begin() + 0x10010, own.begin() + 0x10014), bytes(4, 1));
  EXPECT_EQ(own[0], 0xFF);
  EXPECT_TRUE(info.opened && info.has_data && info.has_end && info.stored);
  EXPECT_EQ(info.end, 0x10014);
  EXPECT_EQ(info.error_line, 0);
  EXPECT_EQ(MEMORY_MAP[0x10010], 0x11);
  EXPECT_EQ(PROGRAMM_SIZE, 5);
}

TEST_F(LoadHex, AFailureSaysOnWhichLineAndWhy)
{
  // CR LF, LF and a lone CR each end a line; blank lines count.
  const std::string good = rec(0, 0, {1}), bad_sum = ":0400000001020304F3";
  struct {
    std::string text;
    int line;
    const char* why;
  } cases[] = {
      {good + "\r\n" + good + "\r\n" + bad_sum + "\r\n" + END, 3, "неверная контрольная сумма"},
      {good + "\n\n" + bad_sum + "\n", 3, "неверная контрольная сумма"},
      {good + "\r" + good + "\r\n" + "\n" + good + "\r:0400zz\r", 5, "неверная запись"},
      {segment(0x2000) + "\n" + good + "\n", 2, "данные за пределами образа"},
      {good + "\n" + rec(4, 0, {1}), 2, "неверная запись"},
  };
  for (auto& c : cases) {
    EXPECT_FALSE(read(c.text)) << c.text;
    EXPECT_TRUE(SHOWN);
    EXPECT_EQ(LAST_HEX_FILE.error_line, c.line) << c.text;
    EXPECT_STREQ(LAST_HEX_FILE.error ? LAST_HEX_FILE.error : "", c.why) << c.text;
  }
  // A file the reader refuses to read was there, but nothing was read.
  EXPECT_FALSE(read_path(DIR));
  EXPECT_TRUE(SHOWN);
  EXPECT_FALSE(LAST_HEX_FILE.opened);
  EXPECT_STREQ(LAST_HEX_FILE.error, "ошибка чтения");
}

// A stream that gives `text` up to `fail_at` and then fails like a disk
// does.
struct failing_stream {
  std::string text;
  size_t pos = 0, fail_at = 0;
  static ssize_t read(void* self, char* buf, size_t n)
  {
    failing_stream* s = static_cast<failing_stream*>(self);
    if (s->pos >= s->fail_at) {
      errno = EIO;
      return -1;
    }
    n = std::min(n, s->fail_at - s->pos);
    std::memcpy(buf, s->text.data() + s->pos, n);
    s->pos += n;
    return static_cast<ssize_t>(n);
  }
};

// What was read before a read error, or before the bytes a file gained
// while it was read, is not the file: the read fails, never passing a
// shorter image on as read.
TEST_F(LoadHex, ReadErrorsAndFilesThatChangeFailTheRead)
{
  const std::string text = rec(0, 0, bytes(16, 1)) + "\n" + rec(0, 0x10, bytes(16, 2)) + "\n" + END + "\n";
  const size_t first = rec(0, 0, bytes(16, 1)).size() + 1;
  // Between two records, and in the middle of one.
  for (size_t at : {first, first + 7}) {
    failing_stream src{text, 0, at};
    cookie_io_functions_t io = {failing_stream::read, nullptr, nullptr, nullptr};
    FILE* f = fopencookie(&src, "r", io);
    ASSERT_NE(f, nullptr);
    std::vector<unsigned char> own(IMAGE, 0xFF);
    hex_file_info info;
    EXPECT_FALSE(read_hex_stream(f, static_cast<long>(text.size()), own.data(), info)) << at;
    std::fclose(f);
    EXPECT_STREQ(info.error ? info.error : "", "ошибка чтения") << at;
    EXPECT_FALSE(info.has_end);
  }

  // The file grows after it was opened: the records added are not taken,
  // and what was there is no complete read either.
  write(rec(0, 0, bytes(16, 1)) + "\n", FILE_PATH);
  FILE* f = std::fopen(FILE_PATH.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::ofstream(FILE_PATH, std::ios::app) << rec(0, 0x10, bytes(16, 2)) + "\n" + END + "\n";
  std::vector<unsigned char> own(IMAGE, 0xFF);
  hex_file_info info;
  EXPECT_FALSE(read_hex_stream(f, static_cast<long>(first), own.data(), info));
  std::fclose(f);
  EXPECT_STREQ(info.error ? info.error : "", "ошибка чтения");
  EXPECT_FALSE(info.has_end);
  EXPECT_EQ(own[0x10], 0xFF);

  // One that shrank: fewer bytes than its size, and no end record.
  f = std::fopen(FILE_PATH.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(truncate(FILE_PATH.c_str(), static_cast<off_t>(first)), 0);
  EXPECT_FALSE(read_hex_stream(f, static_cast<long>(text.size()), own.data(), info));
  std::fclose(f);
  EXPECT_STREQ(info.error ? info.error : "", "ошибка чтения");

  // A file whose size says nothing while it has content (as kernel files
  // do) is such a file too, through the whole reader.
  EXPECT_FALSE(read_path("/proc/self/comm"));
  EXPECT_TRUE(SHOWN);
  EXPECT_STREQ(LAST_HEX_FILE.error ? LAST_HEX_FILE.error : "", "ошибка чтения");
}


// A dump written as HEX text reads back as the same bytes, whatever they
// are, across the 64 KB boundaries and with a short last record.
TEST_F(LoadHex, ADumpReadsBackByteForByte)
{
  std::vector<unsigned char> data(0x20000 - 7);
  unsigned x = 12345;
  for (auto& b : data) b = (unsigned char)((x = x * 1103515245 + 12345) >> 16);
  data[0x10000] = 0xFF;
  std::string text = hex_text(data.data(), data.size());
  std::string path = DIR + "/dump.hex";
  std::ofstream(path, std::ios::binary) << text;
  std::vector<unsigned char> back(HEX_IMAGE_SIZE);
  hex_file_info info;
  ASSERT_TRUE(read_hex_file(path.c_str(), back.data(), info));
  EXPECT_TRUE(info.has_data && info.has_end);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
  EXPECT_EQ(back[data.size()], 0xFF);
}

// Data records that carry no byte hold no data: such a file is refused as an
// empty one, not flashed as an erased image.
TEST_F(LoadHex, EmptyDataRecordsHoldNoData)
{
  EXPECT_TRUE(read(rec(0, 0) + "\n" + rec(0, 0x10) + "\n" + END + "\n"));
  EXPECT_FALSE(LAST_HEX_FILE.has_data);
  EXPECT_FALSE(LAST_HEX_FILE.stored);
  EXPECT_EQ(hex_not_flashable(LAST_HEX_FILE), "Файл прошивки пуст или обрезан: нет данных.");
}
} // namespace
