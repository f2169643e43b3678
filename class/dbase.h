// Record bases: tables of fixed-length records whose fields are declared by a
// short description such as "s16 s16 s48 c s6".
//
// Field letters (either case; anything else is skipped):
//   s<n> string of n bytes, blank-padded, not zero-terminated   type 0
//   i    signed 32-bit integer                                  type 1
//   f    double                                                 type 2
//   c    one signed character                                   type 3
//   d    date (tdate: 16-bit year, month, day)                  type 4
//   t    time (ttime: hour, minute, second)                     type 5
//   h    32-bit integer shown in hexadecimal                    type 6
//   p    progress: low byte and next byte two percentages       type 7
// Fields are packed without alignment. One hidden status byte follows the
// last field (1 present, 0 removed); it sits at index NUM_ELEMENT of the
// offset, type and width tables and is counted in SIZE_RECORD.
//
// Three stores share the interface: tdbase itself keeps its records in a
// binary file, _rbase in the settings hive, _mbase in memory. Programs read
// and write bases through a query (class/query.h), which holds SYNC around
// every access.
#pragma once

class tsync;

// The most fields a description may declare; further letters are ignored.
constexpr int DB_MAX_FIELDS = 99;
// Most records a memory base holds, and most entries a query's index holds.
constexpr int DB_MAX_RECORDS = 65536;

// Field type codes.
enum : int {
  DB_STRING = 0,
  DB_INT = 1,
  DB_DOUBLE = 2,
  DB_CHAR = 3,
  DB_DATE = 4,
  DB_TIME = 5,
  DB_HEX = 6,
  DB_PROGRESS = 7,
};

// Flag bits of the store constructors.
enum : unsigned long {
  DB_TEMPORARY = 1,  // delete the store when the base is destroyed
  DB_COMPACT = 2,    // file store: squeeze out removed records on opening
  DB_USER = 4,       // registry store: under HKEY_CURRENT_USER, not HKEY_LOCAL_MACHINE
};

// Results of opening a store (STATUS).
enum : char {
  DB_OK = 0,
  DB_CANNOT_OPEN = 1,      // the file could not be opened or created
  DB_LENGTH_CHANGED = 2,   // the file held another record length (rewritten); registry key unreadable
  DB_REG_LENGTH = 8,       // the registry key holds another record length
  DB_REG_WRITE = 11,       // a registry record could not be written
};

// The file store, and the base of every store.
//
// File layout: a 16-byte header of four little-endian 32-bit words (change
// counter, record length, serial counter, free parameter), then the records
// back to back. The file is opened for each operation and closed after it
// unless lock() holds it; an open that finds the file held by another
// process (or base) waits in steps of 10 ms until it is free.
class tdbase {
 public:
  int HND;                   // file handle while open, -1 otherwise
  int CACHE_START_POSITION;  // first record held in the cache
  bool TEMPORY;              // delete the store when the base is destroyed
  char* name;                // file path (cp1251) or registry base name; owned
  char* cache;               // SIZE_CACHE records, or null; owned
  char* buffer;              // the current record, SIZE_RECORD bytes; owned
  char upd;                  // the current record was changed, not yet written back
  int SIZE_CACHE;            // records the cache holds (0: no cache)
  int OFFSET[100];           // byte offset of each field
  tsync* SYNC;               // the base's lock, count 1, taken by queries; owned
  int TYPE_ELEMENT[100];     // type code of each field
  int SIZE_ELEMENT[100];     // width of each field in bytes
  int NUM_ELEMENT;           // declared fields, without the status byte
  int SIZE_RECORD;           // record length, status byte included
  bool BAD_CACHE;            // the cache must be reloaded before use
  int LPOS;                  // record now in buffer, -1 for none
  char STATUS;               // result of opening (DB_OK ...)
  bool LOCK;                 // lock() holds the store open
  bool READ_ONLY;            // changes are never written back
  int OPERATION;             // bytes moved by the last record transfer

  // name: file path; fields: the description; cache: records to keep in
  // memory; flags: DB_TEMPORARY, DB_COMPACT.
  tdbase(const char* name, const char* fields, int cache, unsigned long flags);
  tdbase(const tdbase&) = delete;
  tdbase& operator=(const tdbase&) = delete;

 protected:
  // For the other stores: the field description parse and the shared
  // members only, no file.
  explicit tdbase(const char* fields);

  // Virtual operations, in slot order. The first three are the stores'
  // own business.
  virtual void read_record(int rec);   // load rec into buffer, LPOS = rec
  virtual void write_record(int rec);  // store buffer as rec, LPOS = rec
  virtual void load_cache(int rec);    // fill the cache starting at rec

 public:
  virtual ~tdbase();
  // Writes the current record back if it was changed.
  virtual void update();
  // Number of records, removed ones included.
  virtual int size();
  // Adds a blank record (strings blank, the rest zero, status 1) and makes
  // it current; its number, or -1 when none could be added.
  virtual int append();
  virtual void remove(int rec);    // status byte 0
  virtual void unremove(int rec);  // status byte 1
  // Address of a field of rec inside buffer, valid until another record is
  // loaded. A record number outside the base leaves the record loaded last
  // in buffer; a field outside 0..NUM_ELEMENT gives null.
  virtual void* get(int element, int rec);
  // Copies a value into a field of rec. A string field with pad set takes
  // the zero-terminated src and is filled up with blanks; every other copy
  // takes exactly the field's width (a longer string is cut). Record or
  // field numbers outside the base change nothing.
  virtual void set(const void* src, int element, int rec, int pad);
  // Loads one field of rec fresh from the store.
  virtual void read_element(int element, int rec);
  virtual int modify();      // the change counter
  virtual int set_modify();  // increments it; the new value
  virtual int new_index();   // a fresh serial number
  virtual void set_param(int param);
  virtual int get_param();
  virtual void lock();    // hold the store open (file store)
  virtual void unlock();  // end lock()
  virtual void clear();   // delete all records (the file store keeps them)

  // The description parse: fills OFFSET, TYPE_ELEMENT, SIZE_ELEMENT,
  // NUM_ELEMENT and SIZE_RECORD.
  void parse_fields(const char* fields);
  // Fills buffer as a freshly appended record.
  void blank_buffer();

 protected:
  bool FILE_STORE;  // this is the file store itself, not a derived one
  int CACHE_COUNT;  // records the cache window really holds

  // File store internals.
  int open_file(bool create);
  void close_file(int h);
  int header_word(int offset);
  int add_header_word(int offset, int add);
  void set_header_word(int offset, int value);
  void compact();
  // The cache slot of rec, null when rec is outside the window.
  char* cached(int rec);
};

// The memory store. It keeps one pointer per record in a fixed table inside
// the object, so the object is large (half a megabyte): place it where that
// is acceptable. Records never move once appended.
class _mbase : public tdbase {
 public:
  int _INDEX;   // counter behind new_index
  int _PARAM;   // the free parameter
  int _MODIFY;  // change counter
  int _SIZE;    // number of records
  char* _RECORDS[DB_MAX_RECORDS];

  // name, cache and flags are not used.
  _mbase(const char* name, const char* fields, int cache, unsigned long flags);

 protected:
  void read_record(int rec) override;
  void write_record(int rec) override;
  void load_cache(int rec) override;

 public:
  ~_mbase() override;
  int size() override;
  int append() override;
  void read_element(int element, int rec) override;
  int modify() override;
  int set_modify() override;
  int new_index() override;
  void set_param(int param) override;
  int get_param() override;
  void lock() override;
  void unlock() override;
  void clear() override;
};

// The registry store: key "Software\Quarnel\Bases\<name>" under
// HKEY_LOCAL_MACHINE, or HKEY_CURRENT_USER with DB_USER. DWORD values
// "Size", "SizeRecord", "Modify", "Index", "Param"; record n is the binary
// value "X%08X".
class _rbase : public tdbase {
 public:
  void* KEY;  // the open key, or null

  _rbase(const char* name, const char* fields, int cache, unsigned long flags);

 protected:
  void read_record(int rec) override;
  void write_record(int rec) override;
  void load_cache(int rec) override;

 public:
  ~_rbase() override;
  int size() override;
  int append() override;
  void read_element(int element, int rec) override;
  int modify() override;
  int set_modify() override;
  int new_index() override;
  void set_param(int param) override;
  int get_param() override;
  void lock() override;
  void unlock() override;
  void clear() override;

 protected:
  int get_dword(const char* value);
  bool put_dword(const char* value, int v);
  bool read_raw(int rec, char* to);
};
