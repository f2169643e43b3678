// The reader as the window tool uses it: into MEMORY_MAP, its failure shown
// in a message box.
#include "loadhex/loadhex.h"

#include "class/class.h"

unsigned char MEMORY_MAP[131072];
int PROGRAMM_SIZE = 0;
unsigned short page_size = 512;
unsigned short page_count = 255;
hex_file_info LAST_HEX_FILE;

namespace {
char READ_ERROR[] = "Ошибка чтения файла.";
}

bool load_hex_data(char* file)
{
  hex_file_info info;
  bool ok = read_hex_file(file, MEMORY_MAP, info);
  // A read that stores nothing keeps the size of the one before.
  if (info.stored) PROGRAMM_SIZE = info.end;
  LAST_HEX_FILE = info;
  // Only a file that is not there at all passes without a word.
  if (!ok && info.error) message(READ_ERROR);
  return ok;
}
