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

// Reads an Intel HEX file (records 00, 01, 02) into MEMORY_MAP. The path is
// cp1251 text. True when the end of the data is reached (end record or end
// of file); false when the file cannot be opened (quietly) or when a record
// is bad, in which case "Ошибка чтения файла." has been shown.
bool load_hex_data(char* file);
