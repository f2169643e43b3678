// One open key of the settings store for the lifetime of an object on the
// stack: the constructor opens the key (creating it when missing), the
// typed operations read and write named values under it, the destructor
// closes it. Failures show only in the results: writes give false, reads
// give 0, false, an empty text or null.
#pragma once

class _regkey {
 public:
  void* _KEY;          // the open key; null in the failed state
  char _SDATA[2048];   // what get_string(name) and get_binary(name) return
  unsigned _TYPE;      // type asked for, then reported by the last read
  unsigned _SIZE;      // room, then size, of the last read into _SDATA
  unsigned _DATA;      // the last integer read, or the last boolean written
  bool _w64;           // the 64-bit view was asked for (and a volatile create)
  bool _ERROR;         // the key could be neither opened nor created
  bool _READ_ONLY;     // the key could only be opened for reading

  // root: HKEY_CURRENT_USER or another predefined root; path below it.
  // Opens the key with all rights; when it is missing, creates it (with w64,
  // as a volatile key that does not outlive a restart of the system); when
  // neither works, opens it for reading only (read-only state) or gives up
  // (failed state).
  _regkey(void* root, const char* path, bool w64);
  ~_regkey();
  _regkey(const _regkey&) = delete;
  _regkey& operator=(const _regkey&) = delete;

  // Writes: false in the failed and read-only states, else whether the store
  // took the value. Texts are stored without their terminating zero.
  bool set_string(const char* value, const char* name);
  bool set_string(const char* value, const char* name, int index);
  bool set_binary(const unsigned char* data, int size, const char* name);
  bool set_int(int value, const char* name);
  bool set_int(int value, const char* name, int index);
  bool set_bool(bool value, const char* name);
  bool remove(const char* name);

  // Reads. The indexed forms read the value "<name>_<index as %04d>".
  int get_int(const char* name);
  int get_int(const char* name, int index);
  bool get_bool(const char* name);
  // _SDATA, or a shared empty text when the value is absent, too long for
  // 2048 bytes with its terminating zero, or unreadable. Never null.
  char* get_string(const char* name);
  char* get_string(const char* name, int index);
  // Into buf (size bytes): buf, or a shared empty text with buf emptied when
  // the value is absent or does not fit with its terminating zero.
  char* get_string(char* buf, unsigned long size, const char* name);
  char* get_string(char* buf, unsigned long size, const char* name, int index);
  // _SDATA / buf, or null with buf untouched when the value is absent or
  // does not fit. The size read is in _SIZE for the first form only.
  void* get_binary(const char* name);
  void* get_binary(void* buf, unsigned long size, const char* name);

  // Holds the store's cross-process lock, so that a read and the write
  // that depends on it (the next address of a series) are one step for
  // every process using the same store. Nests; the destructor undoes what
  // is still held. False in the failed state or when the lock cannot be had.
  bool lock();
  void unlock();

 private:
  bool writable() const { return !_ERROR && !_READ_ONLY; }
  bool set(const char* name, unsigned type, const void* data, unsigned size);
  // Text value into buf of room bytes, zero-filled first; size gets the
  // value's size. False unless it came back terminated.
  bool query_text(const char* name, char* buf, unsigned room, unsigned& size);
};
