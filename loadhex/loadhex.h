#pragma once

// The firmware image: the byte at index i is the firmware byte for linear
// address i. Every read erases it to 0xFF first.
extern unsigned char MEMORY_MAP[131072];

// One past the linear address of the last data byte stored, in file order
// (not the highest address). Only a stored byte changes it.
extern int PROGRAMM_SIZE;

// Page geometry for burning; set per device model before each burn.
// page_count is the number of the last page, not the number of pages.
extern unsigned short page_size;
extern unsigned short page_count;

// Reads an Intel HEX file (records 00, 01, 02, 04; 03 and 05 are passed
// over) into MEMORY_MAP. The path is cp1251 text. True when the end of the
// data is reached (end record or end of file); false when the file is not
// there or cannot be opened (quietly), and false after showing "Ошибка
// чтения файла." when it is no regular file of at most 16 MB, when reading
// it fails or it changes size meanwhile, or when a record is bad (a checksum
// fails, where every record but the segment record is checked, a field is
// missing, or data lies beyond the image). What the file held is left in
// LAST_HEX_FILE.
bool load_hex_data(char* file);

// What a read found in the file, beside its result.
struct hex_file_info {
  bool opened = false;     // the file was there and was read (false: missing or refused)
  bool has_data = false;   // it held at least one data record
  bool has_end = false;    // the end-of-file record was reached
  int error_line = 0;      // line (1-based) of the record that failed the read; 0 for none
  const char* error = nullptr;  // cp1251 reason of the failure, nullptr for none, e.g.
                                // "неверная контрольная сумма", "неверная запись",
                                // "данные за пределами образа", "ошибка чтения"
  bool stored = false;     // at least one byte was stored (PROGRAMM_SIZE then holds end)
  int end = 0;             // one past the last byte stored, in file order
};
// The core: reads the HEX file at a cp1251 path into image (131072 bytes,
// erased to 0xFF first). True as load_hex_data is true. No globals, no boxes.
bool read_hex_file(const char* file, unsigned char* image, hex_file_info& info);
// What the last load_hex_data found.
extern hex_file_info LAST_HEX_FILE;
// Why a file that was read cannot be flashed, or nullptr when it can:
// "Файл прошивки пуст или обрезан: нет данных." when it held no data record,
// else "Файл прошивки пуст или обрезан: нет записи конца файла." when it ended
// without the end-of-file record.
const char* hex_not_flashable(const hex_file_info& info);
