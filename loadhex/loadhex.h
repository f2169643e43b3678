#pragma once

#include "loadhex/hexfile.h"

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

// What the last load_hex_data found.
extern hex_file_info LAST_HEX_FILE;
