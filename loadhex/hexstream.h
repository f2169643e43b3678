// The reader's core below the file name: records from a stream already
// opened. read_hex_file is built on it; tests reach it to feed streams that
// fail or grow in ways a plain file on disk cannot be made to.
#pragma once

#include <cstdio>

#include "loadhex/hexfile.h"

// Reads records from f into image (not erased here) and fills info (all but
// `opened`). size is the file's size when it was opened: a file that yields
// more bytes than that, or fewer before its end record, changed while it was
// read and fails the read like a read error does.
bool read_hex_stream(FILE* f, long size, unsigned char* image, hex_file_info& info, std::string* bytes = nullptr);
