// The HEX reader's core: records into an image of the caller's, and what
// the file held beside the result. No globals, no message boxes.
#include "loadhex/hexfile.h"
#include "loadhex/hexstream.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/base.h"

namespace {

// The largest file taken for a firmware image. The biggest image there can
// be, written the way firmware tools write it, is well under a megabyte;
// anything far larger is not a firmware file, and a device or pipe that
// never ends would hold the program for ever.
const long MAX_FILE_SIZE = 16L << 20;

// Value of a hexadecimal digit in either case, -1 for any other byte.
struct digit_table {
  signed char VALUE[256];
  constexpr digit_table() : VALUE()
  {
    for (int i = 0; i < 256; i++) VALUE[i] = -1;
    for (int i = 0; i < 10; i++) VALUE['0' + i] = static_cast<signed char>(i);
    for (int i = 0; i < 6; i++) {
      VALUE['a' + i] = static_cast<signed char>(10 + i);
      VALUE['A' + i] = static_cast<signed char>(10 + i);
    }
  }
};
constexpr digit_table DIGITS;

// The white space a scanner skips before a number in the "C" locale.
inline bool is_blank(int c)
{
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Buffered byte source with the field rules of "%2X" / "%4X": leading white
// space skipped, digits in either case, at most `width` digits, and the byte
// that stops a field left for whoever reads next. A sign or a "0x" prefix,
// which a scanner would also take, has no place in a record and simply ends
// the field like any other character. Reading through our own
// buffer keeps a file of megabytes fast where a scanner call per field
// is not. It counts lines on the way, so a failure can say where it was.
class hex_source {
public:
  // size: the file's size when it was opened. A file that gives more bytes
  // (it grew while being read) or runs out before that (it shrank) is not
  // the file that was opened, and counts as failed.
  hex_source(FILE* f, long size, std::string* tap) : F(f), LEFT(size), TAP(tap) {}

  // Skips everything up to and including the next colon; false at the end
  // of the file. The first line where what is skipped is more than white
  // space is kept in stray_line().
  bool next_record()
  {
    for (;;) {
      if (POS == LEN && !fill()) return false;
      const void* hit = std::memchr(BUF + POS, ':', LEN - POS);
      size_t stop = hit ? static_cast<size_t>(static_cast<const unsigned char*>(hit) - BUF) : LEN;
      if (!STRAY_LINE) {
        size_t i = POS;
        while (i < stop && is_blank(BUF[i])) i++;
        if (i < stop) {
          count_lines(POS, i);
          STRAY_LINE = LINE;
          POS = i;
        }
      }
      count_lines(POS, stop);
      if (hit) {
        POS = stop + 1;
        PREV_CR = false;
        return true;
      }
      POS = LEN;
    }
  }

  // False when no digit could be read: the field holds something else or
  // the file ended first.
  bool field(int width, unsigned& value)
  {
    int c;
    while ((c = peek()) >= 0 && is_blank(c)) {
      count_lines(POS, POS + 1);
      POS++;
    }
    unsigned v = 0;
    int n = 0;
    while (n < width && (c = peek()) >= 0 && DIGITS.VALUE[c] >= 0) {
      v = (v << 4) | static_cast<unsigned>(DIGITS.VALUE[c]);
      POS++;
      n++;
    }
    if (n) PREV_CR = false;
    value = v;
    return n > 0;
  }

  // The file stopped giving bytes because of an error rather than its end
  // (a failing disk), or it changed size while it was read: what was read
  // is not the whole file.
  bool failed() const { return FAILED; }

  // The line (1-based) the next byte is on. CR LF, LF and a lone CR each
  // end a line.
  int line() const { return LINE; }

  // The first line with text between records, 0 for none.
  int stray_line() const { return STRAY_LINE; }

private:
  int peek()
  {
    if (POS == LEN && !fill()) return -1;
    return BUF[POS];
  }

  void count_lines(size_t from, size_t to)
  {
    for (size_t i = from; i < to; i++) {
      unsigned char c = BUF[i];
      if (c == '\r' || (c == '\n' && !PREV_CR)) LINE++;
      PREV_CR = c == '\r';
    }
  }

  bool fill()
  {
    POS = 0;
    LEN = 0;
    if (FAILED) return false;
    // One byte past the size is asked for, to tell a file of exactly its
    // size from one that grew.
    size_t want = static_cast<size_t>(std::min<long>(static_cast<long>(sizeof BUF), LEFT + 1));
    LEN = std::fread(BUF, 1, want, F);
    // A short read that carries an error gives its bytes now; the sticky
    // error flag fails the next fill.
    if (LEN == 0 && (std::ferror(F) || LEFT > 0)) FAILED = true;
    if (static_cast<long>(LEN) > LEFT) {
      FAILED = true;
      LEN = 0;
    }
    LEFT -= static_cast<long>(LEN);
    if (TAP) TAP->append(reinterpret_cast<const char*>(BUF), LEN);
    return LEN > 0;
  }

  FILE* F;
  long LEFT;
  std::string* TAP;
  size_t POS = 0;
  size_t LEN = 0;
  bool FAILED = false;
  int LINE = 1;
  int STRAY_LINE = 0;
  bool PREV_CR = false;
  unsigned char BUF[65536];
};

const char BAD_SUM[] = "неверная контрольная сумма";
const char BAD_RECORD[] = "неверная запись";
const char OUTSIDE[] = "данные за пределами образа";
const char READ_FAILED[] = "ошибка чтения";
const char STRAY_TEXT[] = "текст вне записей";
const char UNKNOWN_TYPE[] = "запись неизвестного типа";

const int IMAGE_SIZE = HEX_IMAGE_SIZE;

// Reads the rest of a record that is not a data record: its `length` bytes
// (at most the first two are kept, in `value`) and its checksum. Null when
// the record is good, else why it is not.
const char* checked_payload(hex_source& in, unsigned length, uint8_t cs, unsigned& value)
{
  value = 0;
  for (unsigned i = 0; i < length; i++) {
    unsigned byte;
    if (!in.field(2, byte)) return BAD_RECORD;
    cs = static_cast<uint8_t>(cs + byte);
    if (i < 2) value = (value << 8) | byte;
  }
  unsigned sum;
  if (!in.field(2, sum)) return BAD_RECORD;
  return static_cast<uint8_t>(cs + sum) == 0 ? nullptr : BAD_SUM;
}

// Reads records until the end record or the end of the file (null) or a
// bad record (why it is bad). A record is bad when its checksum fails
// (every record but the segment record is checked: one damaged type digit
// must not turn data into an end record or a record that is passed over),
// when a field has no hexadecimal digit where one is due (foreign
// characters, or a record cut short by the end of the file), when a linear
// address record is not two bytes long, or when a data byte's linear
// address lies beyond the image. Each of these means the image does not
// hold what the file meant, so the read fails rather than hand a half image
// on as good; bytes stored before the fault stay in the image. `line` is
// where the bad record began.
const char* read_records(hex_source& in, unsigned char* image, hex_file_info& info, int& line)
{
  // The base of the addresses: set by a segment record (its value times 16)
  // or a linear address record (its value times 65536), whichever came last.
  uint32_t seq = 0;
  while (in.next_record()) {
    // Text skipped on the way here comes before this record's line, so the
    // first fault found is the first in the file.
    if (in.stray_line() && !info.stray_line) {
      info.stray_line = in.stray_line();
      info.stray = STRAY_TEXT;
    }
    line = in.line();
    unsigned length, address, type;
    if (!in.field(2, length) || !in.field(4, address) || !in.field(2, type)) return BAD_RECORD;
    uint8_t cs = static_cast<uint8_t>(length + (address >> 8) + (address & 0xFF) + type);
    switch (type) {
    case 0: {
      // An empty data record carries nothing to flash.
      if (length) info.has_data = true;
      for (unsigned i = 0; i < length; i++) {
        unsigned byte;
        if (!in.field(2, byte)) return BAD_RECORD;
        cs = static_cast<uint8_t>(cs + byte);
        // The address runs on past 0xFFFF without wrapping; a byte that does
        // not fit the image is never written, and the read fails so that a
        // truncated image is not flashed.
        uint32_t at = seq + address;
        if (at >= static_cast<uint32_t>(IMAGE_SIZE)) return OUTSIDE;
        image[at] = static_cast<unsigned char>(byte);
        address++;
        info.stored = true;
        info.end = static_cast<int>(seq + address);
      }
      unsigned sum;
      if (!in.field(2, sum)) return BAD_RECORD;
      cs = static_cast<uint8_t>(cs + sum);
      if (cs != 0) return BAD_SUM;
      break;
    }
    case 2: {
      // The segment record's own length is not consulted and its checksum
      // is not checked, but both fields must be there.
      unsigned segment, sum;
      if (!in.field(4, segment) || !in.field(2, sum)) return BAD_RECORD;
      seq = static_cast<uint32_t>(segment) << 4;
      break;
    }
    default: {
      unsigned value;
      if (const char* why = checked_payload(in, length, cs, value)) return why;
      // Nothing after the end record is read.
      if (type == 1) {
        info.has_end = true;
        return nullptr;
      }
      if (type == 4) {
        if (length != 2) return BAD_RECORD;
        seq = static_cast<uint32_t>(value) << 16;
      }
      // Start addresses (3, 5) mean nothing for the image. A type Intel HEX
      // does not have is read over like them, but is remembered: it is what
      // a damaged type digit of a data record looks like.
      if (type > 5 && !info.stray_line) {
        info.stray_line = line;
        info.stray = UNKNOWN_TYPE;
      }
      break;
    }
    }
  }
  return nullptr;
}

} // namespace


bool read_hex_stream(FILE* f, long size, unsigned char* image, hex_file_info& info, std::string* bytes)
{
  bool opened = info.opened;
  info = hex_file_info();
  info.opened = opened;
  const char* why;
  int line = 0;
  {
    hex_source in(f, size, bytes);
    why = read_records(in, image, info, line);
    // A source that failed explains whatever the records seemed to say: a
    // record cut off by a read error is no bad record of the file.
    if (in.failed()) {
      why = READ_FAILED;
      line = 0;
    }
  }
  if (!why) return true;
  info.error = why;
  info.error_line = line;
  return false;
}

bool read_hex_file(const char* file, unsigned char* image, hex_file_info& info, std::string* bytes)
{
  info = hex_file_info();
  // Erased first, so even a file that cannot be opened leaves a clean image.
  std::memset(image, 0xFF, IMAGE_SIZE);
  // A file that is not there stays quiet (the remembered file may be gone);
  // one that is there but is no regular file of a sensible size is a
  // failed read like any other.
  bool refused = false;
  FILE* f = plat::open_file_read(file, MAX_FILE_SIZE, &refused);
  if (!f) {
    if (refused) info.error = READ_FAILED;
    return false;
  }
  info.opened = true;
  // The size now, on what was opened: the yardstick for a file that changes
  // while it is read.
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  bool ok;
  if (size < 0 || size > MAX_FILE_SIZE || std::fseek(f, 0, SEEK_SET) != 0) {
    info.error = READ_FAILED;
    ok = false;
  } else {
    ok = read_hex_stream(f, size, image, info, bytes);
  }
  std::fclose(f);
  return ok;
}

std::string hex_not_flashable(const hex_file_info& info)
{
  if (!info.has_data) return "Файл прошивки пуст или обрезан: нет данных.";
  if (!info.has_end) return "Файл прошивки пуст или обрезан: нет записи конца файла.";
  if (info.stray_line)
    return "Файл прошивки повреждён: строка " + std::to_string(info.stray_line) + ": " + info.stray + ".";
  return std::string();
}

namespace {

void hex_record(std::string& out, unsigned length, unsigned address, unsigned type, const unsigned char* data) {
  char buf[16];
  unsigned sum = length + (address >> 8) + (address & 0xFF) + type;
  std::snprintf(buf, sizeof buf, ":%02X%04X%02X", length, address, type);
  out += buf;
  for (unsigned i = 0; i < length; i++) {
    std::snprintf(buf, sizeof buf, "%02X", data[i]);
    out += buf;
    sum += data[i];
  }
  std::snprintf(buf, sizeof buf, "%02X\n", (unsigned)(-sum & 0xFF));
  out += buf;
}

}  // namespace

std::string hex_text(const unsigned char* image, size_t n)
{
  std::string out;
  out.reserve(n * 2 + n / 32 * 12 + 64);
  const size_t RECORD = 32;
  for (size_t at = 0; at < n; at += RECORD) {
    if (at > 0 && at % 0x10000 == 0) {
      unsigned char upper[2] = {(unsigned char)(at >> 24), (unsigned char)(at >> 16)};
      hex_record(out, 2, 0, 4, upper);
    }
    size_t len = std::min(RECORD, n - at);
    hex_record(out, (unsigned)len, (unsigned)(at & 0xFFFF), 0, image + at);
  }
  hex_record(out, 0, 0, 1, nullptr);
  return out;
}
