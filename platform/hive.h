// The settings hive's model: a hive file's keys and values in memory, and
// the REGEDIT4 text they are read from and written back as. Nothing here
// touches a file: the files are platform/hive_file.*, the open keys
// settings.cpp. Shared by the hive's own files only: nothing above the
// platform sees it.
//
// Names and texts are cp1251 here, the file's text UTF-8 (the conversion
// is text.cpp's). Keys and values are found through indexes on their
// case-folded names, so a hive of a hundred thousand keys reads in a
// fraction of a second; the vectors beside them keep the file's own order
// for writing it back.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace plat {
namespace settings {

constexpr size_t MAX_PART = 255;    // one part of a key path
constexpr size_t MAX_NAME = 16383;  // a value name

// Key paths and value names compare without regard to case: by their
// folded forms, one byte for one byte.
std::string folded(const std::string& s);
// Accepted for value names and key parts, which have no hex form.
bool name_ok(const std::string& s);
// Splits a key path at '\'. One trailing '\' is allowed; empty parts,
// over-long parts and unwritable characters are not.
bool split_path(const char* path, std::vector<std::string>& parts);
std::string join(const std::vector<std::string>& parts);
// The text a REG_SZ value is written as, when it has one: printable bytes,
// at most one terminating zero at the end. The terminator is implied by the
// text form, so a text always reads back terminated.
bool text_form(const std::string& data, std::string& text);

struct reg_value {
  std::string name;  // "" is the key's default value
  unsigned type = 0;
  std::string data;
};

struct reg_key {
  std::string path;  // parts joined by '\', "" for the root itself
  std::vector<reg_value> values;  // in the file's order

  explicit reg_key(const std::string& p = "") : path(p) {}
  reg_value* find(const std::string& name);
  // A value of the same name takes the new one's type and data (and keeps
  // its place and spelling); a new name goes to the end.
  void put(reg_value v);
  bool erase(const std::string& name);

 private:
  // Folded name -> index in values; made only once a key has many values,
  // since most keys hold a handful and a table each would cost more than
  // it saves.
  std::unordered_map<std::string, size_t> by_name_;
  static constexpr size_t INDEXED = 16;

  long index_of(const std::string& name) const;
  void reindex();
};

struct hive {
  bool readable = true;  // false: the file exists but could not be read
  bool damaged = false;  // some line could not be parsed
  int bad_line = 0;
  std::vector<reg_key> keys;  // in the file's order

  reg_key* find(const std::string& path);
  // Adds a key that is not there yet; references into keys may move.
  reg_key& add(const std::string& path);
  // A key exists when some key is it or lies below it; the root always.
  bool exists(const std::string& path) const;
  // The path as the file spells it: the longest part of it that exists
  // keeps the spelling it was first written with, the rest is as given.
  std::string spelling(const std::string& path) const;

 private:
  // The folded path of every key and of every key above one: the spelling
  // of the first key that has it and, for a key of its own, its index in
  // keys.
  struct entry {
    std::string spelling;
    long index = -1;
  };
  std::unordered_map<std::string, entry> paths_;
};

// Everything that can be understood is kept, even from a damaged file, so
// that it stays readable; the damage only forbids writing the file again.
void parse_hive(const std::string& text, const char* root_name, hive& h);
std::string hive_text(const hive& h, const char* root_name);

}  // namespace settings
}  // namespace plat
