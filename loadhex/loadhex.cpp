#include "loadhex/loadhex.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "class/class.h"

unsigned char MEMORY_MAP[131072];
int PROGRAMM_SIZE = 0;
unsigned short page_size = 512;
unsigned short page_count = 255;

namespace {

char READ_ERROR[] = "Ошибка чтения файла.";

// The one place that turns the caller's path into an open file, so that a
// path conversion of the platform layer has a single spot to go in.
FILE* open_hex_file(const char* file)
{
  return std::fopen(file, "rb");
}

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
  explicit hex_source(FILE* f) : F(f) {}

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
    LEN = std::fread(BUF, 1, sizeof BUF, F);
    if (LEN == 0 && std::ferror(F)) FAILED = true;
    return LEN > 0;
  }

  FILE* F;
  size_t POS = 0;
  size_t LEN = 0;
  bool FAILED = false;
  unsigned char BUF[65536];
};

// Reads records until the end record or the end of the file (true) or a bad
// record (false). A record is bad when its data fails the checksum, when a
// field has no hexadecimal digit where one is due (foreign characters, or a
// record cut short by the end of the file), or when a data byte's linear
// address lies beyond the image. Each of these means the image does not hold
// what the file meant, so the read fails rather than hand a half image on as
// good; bytes stored before the fault stay in the image.
bool read_records(hex_source& in)
{
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
    case 1:
      // Nothing after the end record is read, not even its checksum.
      return true;
    case 2: {
      // The segment record's own length is not consulted and its checksum
      // is not checked, but both fields must be there.
      unsigned segment, sum;
      if (!in.field(4, segment) || !in.field(2, sum)) return false;
      seq = static_cast<uint32_t>(segment) << 4;
      break;
    }
    default:
      // Other records (linear address, start addresses) are passed over by
      // the search for the next colon.
      break;
    }
  }
  return true;
}

} // namespace

bool load_hex_data(char* file)
{
  // Erased first, so even a file that cannot be opened leaves a clean image.
  std::memset(MEMORY_MAP, 0xFF, sizeof MEMORY_MAP);
  FILE* f = open_hex_file(file);
  if (!f) return false;
  bool ok;
  {
    hex_source in(f);
    ok = read_records(in) && !in.failed();
  }
  std::fclose(f);
  if (!ok) message(READ_ERROR);
  return ok;
}
