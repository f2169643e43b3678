// The Intel HEX reader's core: a firmware file into an image of the
// caller's. No globals and no message boxes, so the command-line tool and
// the board sessions use it without the window toolkit.
#pragma once

#include <cstddef>
#include <string>

// The image a file is read into: 128 KB, the byte at index i the firmware
// byte for linear address i.
constexpr size_t HEX_IMAGE_SIZE = 131072;

// What a read found in the file, beside its result.
struct hex_file_info {
  bool opened = false;     // the file was there and was read (false: missing or refused)
  bool has_data = false;   // it held at least one data record
  bool has_end = false;    // the end-of-file record was reached
  int error_line = 0;      // line (1-based) of the record that failed the read; 0 for none
  const char* error = nullptr;  // cp1251 reason of the failure, nullptr for none, e.g.
                                // "неверная контрольная сумма", "неверная запись",
                                // "данные за пределами образа", "ошибка чтения"
  int stray_line = 0;      // first line (1-based) before the end record that holds text
                           // outside the records, or a record of a type Intel HEX does
                           // not have; 0 for none
  const char* stray = nullptr;  // cp1251: which of the two, nullptr for none
  bool stored = false;     // at least one byte was stored
  int end = 0;             // one past the last byte stored, in file order
};
// Reads the HEX file at a cp1251 path (records 00, 01, 02, 04; 03 and 05
// passed over) into image (HEX_IMAGE_SIZE bytes, erased to 0xFF first).
// True when the end of the data is reached (end record or end of file);
// false when the file is not there (no error), is no regular file of at
// most 16 MB, cannot be read whole or changes size meanwhile, or holds a bad
// record (info says which line and why). With bytes, every byte read goes
// there too: what is digested for the record of a burn is then exactly what
// was flashed, from the one opening of the file, even if it is replaced
// meanwhile.
bool read_hex_file(const char* file, unsigned char* image, hex_file_info& info, std::string* bytes = nullptr);
// Why a file that was read cannot be flashed, or empty when it can:
// "Файл прошивки пуст или обрезан: нет данных." when it held no data record,
// else "Файл прошивки пуст или обрезан: нет записи конца файла." when it ended
// without the end-of-file record, else "Файл прошивки повреждён: строка N: "
// and what is there when a line before the end record is no record of
// Intel HEX (a data line that lost its colon, a record of an unknown type):
// the reader passes such text over, and the image would lack what it held.
std::string hex_not_flashable(const hex_file_info& info);

// The n bytes of image (linear addresses 0 to n - 1) as Intel HEX text:
// data records of 32 bytes, an extended linear address record before each
// 64 KB beyond the first, and the end-of-file record. Read back, it gives
// the same bytes.
std::string hex_text(const unsigned char* image, size_t n);
