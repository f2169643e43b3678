#include "loadhex/loadhex.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "class/class.h"
#include "platform/platform.h"

unsigned char MEMORY_MAP[131072];
int PROGRAMM_SIZE = 0;
unsigned short page_size = 512;
unsigned short page_count = 255;

namespace {

char READ_ERROR[] = "Ошибка чтения файла.";

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
// is not.
class hex_source {
public:
  // limit: the most bytes taken from the file; a file that turns out
  // longer (it grew after it was opened) counts as failed.
  hex_source(FILE* f, long limit) : F(f), LEFT(limit) {}

  // Skips everything up to and including the next colon; false at the end
  // of the file.
  bool next_record()
  {
    for (;;) {
      if (POS == LEN && !fill()) return false;
      const void* hit = std::memchr(BUF + POS, ':', LEN - POS);
      if (hit) {
        POS = static_cast<const unsigned char*>(hit) - BUF + 1;
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
    while ((c = peek()) >= 0 && is_blank(c)) POS++;
    unsigned v = 0;
    int n = 0;
    while (n < width && (c = peek()) >= 0 && DIGITS.VALUE[c] >= 0) {
      v = (v << 4) | static_cast<unsigned>(DIGITS.VALUE[c]);
      POS++;
      n++;
    }
    value = v;
    return n > 0;
  }

  // The file stopped giving bytes because of an error rather than its end
  // (a directory, a failing disk): what was read is not the whole file.
  bool failed() const { return FAILED; }

private:
  int peek()
  {
    if (POS == LEN && !fill()) return -1;
    return BUF[POS];
  }

  bool fill()
  {
    POS = 0;
    LEN = 0;
    if (FAILED) return false;
    // One byte past the limit is asked for, to tell a file of exactly the
    // limit from a longer one.
    size_t want = static_cast<size_t>(std::min<long>(static_cast<long>(sizeof BUF), LEFT + 1));
    LEN = std::fread(BUF, 1, want, F);
    if (LEN == 0 && std::ferror(F)) FAILED = true;
    if (static_cast<long>(LEN) > LEFT) {
      FAILED = true;
      LEN = 0;
    }
    LEFT -= static_cast<long>(LEN);
    return LEN > 0;
  }

  FILE* F;
  long LEFT;
  size_t POS = 0;
  size_t LEN = 0;
  bool FAILED = false;
  unsigned char BUF[65536];
};

// Reads the rest of a record that is not a data record: its `length` bytes
// (at most the first two are kept, in `value`) and its checksum. False when
// a field is missing or the checksum fails.
bool checked_payload(hex_source& in, unsigned length, uint8_t cs, unsigned& value)
{
  value = 0;
  for (unsigned i = 0; i < length; i++) {
    unsigned byte;
    if (!in.field(2, byte)) return false;
    cs = static_cast<uint8_t>(cs + byte);
    if (i < 2) value = (value << 8) | byte;
  }
  unsigned sum;
  if (!in.field(2, sum)) return false;
  return static_cast<uint8_t>(cs + sum) == 0;
}

// Reads records until the end record or the end of the file (true) or a bad
// record (false). A record is bad when its checksum fails (every record but
// the segment record is checked: one damaged type digit must not turn data
// into an end record or a record that is passed over), when a field has no
// hexadecimal digit where one is due (foreign characters, or a record cut
// short by the end of the file), when a linear address record is not two
// bytes long, or when a data byte's linear address lies beyond the image.
// Each of these means the image does not hold what the file meant, so the
// read fails rather than hand a half image on as good; bytes stored before
// the fault stay in the image.
bool read_records(hex_source& in)
{
  // The base of the addresses: set by a segment record (its value times 16)
  // or a linear address record (its value times 65536), whichever came last.
  uint32_t seq = 0;
  while (in.next_record()) {
    unsigned length, address, type;
    if (!in.field(2, length) || !in.field(4, address) || !in.field(2, type)) return false;
    uint8_t cs = static_cast<uint8_t>(length + (address >> 8) + (address & 0xFF) + type);
    switch (type) {
    case 0: {
      for (unsigned i = 0; i < length; i++) {
        unsigned byte;
        if (!in.field(2, byte)) return false;
        cs = static_cast<uint8_t>(cs + byte);
        // The address runs on past 0xFFFF without wrapping; a byte that does
        // not fit the image is never written, and the read fails so that a
        // truncated image is not flashed.
        uint32_t at = seq + address;
        if (at >= sizeof MEMORY_MAP) return false;
        MEMORY_MAP[at] = static_cast<unsigned char>(byte);
        address++;
        PROGRAMM_SIZE = static_cast<int>(seq + address);
      }
      unsigned sum;
      if (!in.field(2, sum)) return false;
      cs = static_cast<uint8_t>(cs + sum);
      if (cs != 0) return false;
      break;
    }
    case 2: {
      // The segment record's own length is not consulted and its checksum
      // is not checked, but both fields must be there.
      unsigned segment, sum;
      if (!in.field(4, segment) || !in.field(2, sum)) return false;
      seq = static_cast<uint32_t>(segment) << 4;
      break;
    }
    default: {
      unsigned value;
      if (!checked_payload(in, length, cs, value)) return false;
      // Nothing after the end record is read.
      if (type == 1) return true;
      if (type == 4) {
        if (length != 2) return false;
        seq = static_cast<uint32_t>(value) << 16;
      }
      // Start addresses (3, 5) and types unknown here mean nothing for the
      // image.
      break;
    }
    }
  }
  return true;
}

} // namespace

bool load_hex_data(char* file)
{
  // Erased first, so even a file that cannot be opened leaves a clean image.
  std::memset(MEMORY_MAP, 0xFF, sizeof MEMORY_MAP);
  // A file that is not there stays quiet (the remembered file may be gone);
  // one that is there but is no regular file of a sensible size is a
  // failed read like any other.
  bool refused = false;
  FILE* f = plat::open_file_read(file, MAX_FILE_SIZE, &refused);
  if (!f) {
    if (refused) message(READ_ERROR);
    return false;
  }
  bool ok;
  {
    hex_source in(f, MAX_FILE_SIZE);
    ok = read_records(in) && !in.failed();
  }
  std::fclose(f);
  if (!ok) message(READ_ERROR);
  return ok;
}
