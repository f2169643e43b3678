// Queries: an ordered view over one record base.
//
// A query holds an index of base record numbers and a current position in
// it. Every typed read and write goes through a position of the index (the
// iget_/iset_ families through a base record number instead). On top of the
// index: appending, removing, a selection mark per entry, multi-key sorting
// and filtering by condition lists. Every operation that touches the base
// holds the base's SYNC for its duration; operations on the index alone take
// no lock.
#pragma once

#include "class/date.h"
#include "class/dbase.h"

// One filter condition, a node of a singly linked list.
struct _QUERY {
  _QUERY* NEXT;
  // -1 field <= value, 0 field = value, 1 field >= value, 2 field differs;
  // any other number passes always.
  int OPERATION;
  int TYPE;     // type code of the field, taken from the base
  int ELEMENT;  // field number
  bool OR;      // starts a new alternative
  ttime TVAL;
  tdate DVAL;
  int IVAL;
  char CVAL;
  double FVAL;
  char* SVAL;  // zero-terminated copy, owned
  int LEN;     // bytes compared for a string field
};

class tdbquery {
 public:
  // Index entry: record number in bits 0-30, selection mark in bit 31.
  static constexpr unsigned MARK = 0x80000000u;

  unsigned* RECORD;     // the index, DB_MAX_RECORDS entries; owned
  int NUM_MODIFY;       // the base's change counter as last seen
  int SIZE_BASE;        // base size() at the last filter run
  char* STRING;         // SIZE_RECORD + 1 bytes of scratch; owned
  _QUERY* _query;       // filter conditions
  _QUERY* _find;        // find conditions
  tdbase* BASE;         // not owned: destroy the query first
  int SIZE;             // entries in the index
  int POS;              // current position
  unsigned* SORT_MODE;  // sort keys: field in bits 0-30, bit 31 descending; owned
  int SORT_COUNT;

  // The index starts empty: records already in the base are listed only by
  // query() or append().
  explicit tdbquery(tdbase* base);
  ~tdbquery();
  tdbquery(const tdbquery&) = delete;
  tdbquery& operator=(const tdbquery&) = delete;

  int size();
  int pos();
  // Record number at pos; -1 when pos is outside the index.
  int record(int pos);
  // The same, making pos current when it lies in the index.
  int get_ind(int pos);
  // Make pos current and return it; -1 (nothing changes) outside the index.
  int operator=(int pos);
  // Step forward / back; the new position, or -1 at the end.
  int operator++();
  int operator++(int);
  int operator--();
  int operator--(int);

  int type_element(int field);
  int size_element(int field);

  // Typed reads of a field at an index position. A position inside the
  // index becomes current; any other (-1) reads at the current one. The
  // type is not checked. With an empty index the value is zero.
  int get_int(int field, int pos = -1);
  char get_char(int field, int pos = -1);
  double get_double(int field, int pos = -1);
  tdate get_date(int field, int pos = -1);
  ttime get_time(int field, int pos = -1);
  // The whole field width, padding included, then a zero. This form
  // returns STRING, valid until the next call.
  char* get_string(int field, int pos = -1);
  // out must hold the field width + 1 bytes.
  char* get_string(char* out, int field, int pos = -1);

  // Typed writes: false (and nothing changes) for a field of another type,
  // and for a position that is neither -1 nor inside the index. pos -1
  // writes at the current position. The change reaches the store when
  // another record is loaded or update() runs.
  bool set_int(int value, int field, int pos = -1);  // types 1, 6, 7
  bool set_char(char value, int field, int pos = -1);
  bool set_double(double value, int field, int pos = -1);
  bool set_date(tdate value, int field, int pos = -1);
  bool set_time(ttime value, int field, int pos = -1);
  // Blank-padded; a longer text is cut to the width.
  bool set_string(const char* value, int field, int pos = -1);
  // Exactly the field width from value, unpadded.
  bool set_binary(const void* value, int field, int pos = -1);

  // The same by base record number; POS stays as it is. A record number
  // outside the base reads zero and writes nothing (false).
  int iget_int(int field, int rec);
  char iget_char(int field, int rec);
  double iget_double(int field, int rec);
  tdate iget_date(int field, int rec);
  ttime iget_time(int field, int rec);
  char* iget_string(int field, int rec);
  char* iget_string(char* out, int field, int rec);
  bool iset_int(int value, int field, int rec);
  bool iset_char(char value, int field, int rec);
  bool iset_double(double value, int field, int rec);
  bool iset_date(tdate value, int field, int rec);
  bool iset_time(ttime value, int field, int rec);
  bool iset_string(const char* value, int field, int rec);
  bool iset_binary(const void* value, int field, int rec);

  // Adds a blank record to the base and its entry at the end of the index
  // (whatever the sort keys), making it current. The new position, or -1
  // when the base or the index is full (nothing is then added: do not go on
  // to write fields).
  int append();
  void update();
  // Removes the record at pos from the base (status byte) and its entry
  // from the index; POS becomes 0. Positions outside the index change
  // nothing.
  void remove(int pos);
  // The same for every marked entry; nothing at all when none is marked.
  void remove_selection();
  // Whether somebody changed the base since this query last synchronised.
  bool modify();
  // Announces a change; own: it was this query's, so modify() stays false.
  int set_modify(char own);
  int new_index();
  void set_param(int param);
  int get_param();
  // Deletes every record of the base and empties the index.
  void clear();

  // Selection marks.
  void select_all();
  void deselect_all();
  void invert_select_all();
  void set_select(int pos);  // toggles one mark
  bool select(int pos);
  bool select();  // any entry marked
  int select_count();

  // Sorting.
  void clear_sort();
  // Next key: descending when direction < 0. Ignored once there is a key
  // per declared field, and for a field outside the base.
  void add_sort(int field, int direction);
  // Exchange sort by the keys (meant for short lists: about n*n/2 record
  // comparisons). Entries that compare equal are not swapped.
  void sort();
  // The run-time quicksort with compare_record, under SORT_SYNC.
  void quick_sort();

  // Filtering. value is converted by the field's type; the first condition
  // of a list never starts an alternative.
  void add_query(int field, int operation, const char* value, bool alt);
  void add_find(int field, int operation, const char* value, bool alt);
  void clear_query();
  void clear_find();
  // Rebuilds the index from the whole base with the filter conditions.
  void query();
  // Drops entries whose record vanished or was removed, then adds records
  // appended after the highest record number listed (at the front when
  // at_front).
  void update_query(bool at_front = false);
  // Drops entries whose record vanished, was removed or no longer passes
  // the filter.
  void check_query();
  // Whether the record at pos passes the find conditions.
  bool find_record(int pos);
  // Rebuilds the index with every present record in which some string,
  // date or time field contains text (pass text in lower case).
  void quick_query(const char* text, bool lock = true);

  // Internals, public for the grid and for tests.
  void query(bool lock, int from, bool at_front);
  bool query_record(int rec);
  bool quick_query_record(int rec, const char* text);
  // True when candidate must come before current by the keys; current then
  // holds a copy of candidate.
  bool sort_record(char* current, const char* candidate);
  // qsort comparison of two index entries.
  int compare_record(const void* a, const void* b);
  // Lowers Latin capitals and the cp1251 Cyrillic capitals 0xC0-0xDF in place.
  static void to_lower(char* text);
  // Whether needle occurs in hay.
  static bool find_string_in_string(const char* hay, const char* needle);

 private:
  void add_condition(_QUERY** list, int field, int operation, const char* value, bool alt);
  static void free_conditions(_QUERY** list);
  bool match(_QUERY* list, int rec);
  bool present(int rec);
  int current_record();
  const void* field_at(int field, int rec);
  bool write_field(const void* value, int field, int rec, int pad);
  bool write_at(const void* value, int field, int pos, int pad, unsigned types);
  bool iwrite(const void* value, int field, int rec, int pad, unsigned types);
  void read_at(void* out, int width, int field, int pos);
  void iread(void* out, int width, int field, int rec);
  void drop_entry(int pos);
};

// The query whose compare_record serves QUERY_SORT_FUNCTION; guarded by
// SORT_SYNC, because the run-time quicksort's callback carries no context.
extern tdbquery* SORT_QUERY;
int QUERY_SORT_FUNCTION(const void* a, const void* b);
