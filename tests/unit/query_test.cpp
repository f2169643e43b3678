// Queries: typed access through the index, removal, selection, the sorts,
// conditions and text search.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "class/class.h"

namespace {

// The device list's layout: name, address, model, a character, MAC.
const char* DEVICES = "s16 s16 s48 c s6";

std::vector<std::string> column(tdbquery& q, int f) {
  std::vector<std::string> out;
  for (int i = 0; i < q.size(); ++i) {
    std::string s = q.get_string(f, i);
    out.push_back(s.substr(0, s.find_last_not_of(' ') + 1));
  }
  return out;
}

void add_row(tdbquery& q, const char* name, const char* ip, char c = 0) {
  ASSERT_GE(q.append(), 0);
  q.set_string(name, 0, -1);
  q.set_string(ip, 1, -1);
  q.set_char(c, 3, -1);
}

TEST(Query, AppendAndTypedAccess) {
  auto b = std::make_unique<_mbase>("dhcpdev", "s16 i h p f d t c", 0, 0);
  b->append();
  b->append();
  tdbquery q(b.get());
  EXPECT_EQ(q.size(), 0);  // records already there are listed only by query()
  q.query();
  EXPECT_EQ(q.size(), 2);

  EXPECT_EQ(q.append(), 2);
  EXPECT_EQ(q.pos(), 2);
  EXPECT_EQ(q.append(), 3);
  EXPECT_EQ(q.pos(), 3);
  EXPECT_EQ(q.record(3), 3);
  EXPECT_TRUE(q.set_string("abcdefgh", 0, -1));
  EXPECT_STREQ(q.get_string(0, 3), "abcdefgh        ");
  EXPECT_TRUE(q.set_string("abc", 0, 1));
  EXPECT_EQ(q.pos(), 1);
  char out[17];
  EXPECT_STREQ(q.get_string(out, 0, -1), "abc             ");
  EXPECT_EQ(out[16], 0);

  EXPECT_TRUE(q.set_int(-5, 1, 0));
  EXPECT_TRUE(q.set_int(0x1F, 2, 0));
  EXPECT_TRUE(q.set_int(0x3264, 3, 0));
  EXPECT_TRUE(q.set_double(2.5, 4, 0));
  EXPECT_TRUE(q.set_date(tdate(5, 3, 2016), 5, 0));
  EXPECT_TRUE(q.set_time(ttime(12, 34, 56), 6, 0));
  EXPECT_TRUE(q.set_char(-3, 7, 0));
  EXPECT_EQ(q.get_int(1, 0), -5);
  EXPECT_EQ(q.get_int(2), 0x1F);
  EXPECT_EQ(q.get_int(3), 0x3264);
  EXPECT_EQ(q.get_double(4), 2.5);
  EXPECT_TRUE(q.get_date(5) == tdate(5, 3, 2016));
  EXPECT_TRUE(q.get_time(6) == ttime(12, 34, 56));
  EXPECT_EQ(q.get_char(7), -3);
  // The reads do not check the type; a wide read of the last (one-byte)
  // field stays inside the record.
  EXPECT_EQ(q.get_int(7, 0) & 0xFF, 0xFD);

  // Wrong types change nothing.
  EXPECT_FALSE(q.set_char('x', 0, 0));
  EXPECT_FALSE(q.set_int(1, 4, 0));
  EXPECT_FALSE(q.set_string("x", 1, 0));
  EXPECT_FALSE(q.set_int(1, 99, 0));
  EXPECT_EQ(q.get_int(1, 0), -5);
  EXPECT_STREQ(q.get_string(0, 0), std::string(16, ' ').c_str());

  // A position outside the index names no record: nothing is written, and
  // POS stays.
  q = 2;
  EXPECT_FALSE(q.set_int(77, 1, 4));
  EXPECT_FALSE(q.set_int(77, 1, -2));
  EXPECT_FALSE(q.set_string("zz", 0, 100000));
  for (int i = 0; i < q.size(); ++i) EXPECT_NE(q.get_int(1, i), 77);
  EXPECT_STREQ(q.get_string(0, 3), "abcdefgh        ");
  // Reads there use the current position.
  q = 3;
  EXPECT_STREQ(q.get_string(0, 42), "abcdefgh        ");
  EXPECT_EQ(q.pos(), 3);

  // The record-number families leave POS alone.
  EXPECT_TRUE(q.iset_string("rec1", 0, 1));
  EXPECT_TRUE(q.iset_int(9, 1, 1));
  EXPECT_FALSE(q.iset_int(9, 1, 4));  // no such record
  EXPECT_FALSE(q.iset_char(1, 0, 1));
  EXPECT_EQ(q.pos(), 3);
  EXPECT_STREQ(q.iget_string(0, 1), "rec1            ");
  EXPECT_EQ(q.iget_int(1, 1), 9);
  EXPECT_EQ(q.iget_int(1, 9), 0);
  EXPECT_EQ(q.pos(), 3);
  unsigned char mac[16] = {0x5A, 0, 0x19, 0xFF};
  EXPECT_TRUE(q.iset_binary(mac, 0, 2));
  EXPECT_EQ(std::string(q.iget_string(0, 2), 16), std::string((char*)mac, 16));

}

TEST(Query, FullBaseAppendsNothing) {
  auto b = std::make_unique<_mbase>("dhcpdev", DEVICES, 100, 0);
  tdbquery q(b.get());
  for (int i = 0; i < 65536; ++i) ASSERT_EQ(q.append(), i);
  q.set_string("last", 0, -1);
  EXPECT_EQ(q.append(), -1);
  EXPECT_EQ(q.size(), 65536);
  EXPECT_EQ(q.pos(), 65535);
  // What a caller writes after a refused append must not land anywhere
  // new: the current record is still the last one.
  EXPECT_STREQ(q.get_string(0, -1), "last            ");
  EXPECT_STREQ(q.get_string(0, 65534), std::string(16, ' ').c_str());
}

TEST(Query, SortByTextKeysDirectionAndTies) {
  auto b = std::make_unique<_mbase>("dhcpdev", DEVICES, 100, 0);
  tdbquery q(b.get());
  add_row(q, "b", "192.0.2.9");
  add_row(q, "a", "192.0.2.10");
  add_row(q, "c", "192.0.2.100");
  add_row(q, "d", "192.0.2.1");

  q.sort();  // no keys: nothing moves
  EXPECT_EQ(column(q, 0), (std::vector<std::string>{"b", "a", "c", "d"}));

  q.set_select(0);  // the mark travels with its entry ("b")
  q.add_sort(1, 1);
  q.sort();
  EXPECT_EQ(column(q, 1), (std::vector<std::string>{"192.0.2.1", "192.0.2.10", "192.0.2.100", "192.0.2.9"}));
  EXPECT_TRUE(q.select(3));
  EXPECT_EQ(q.select_count(), 1);

  // Descending first key, ties decided by the second key ascending.
  q.clear_sort();
  b->clear();
  q.query();
  add_row(q, "x", "2", 1);
  add_row(q, "y", "1", 2);
  add_row(q, "z", "1", 1);
  add_row(q, "w", "2", 2);
  add_row(q, "v", "1", -1);
  q.add_sort(3, -1);
  q.add_sort(1, 1);
  q.sort();
  EXPECT_EQ(column(q, 0), (std::vector<std::string>{"y", "w", "z", "x", "v"}));
  // The same order from the quicksort.
  q.query();
  q.quick_sort();
  EXPECT_EQ(column(q, 0), (std::vector<std::string>{"y", "w", "z", "x", "v"}));
  q.query();
  q.clear_sort();
  q.quick_sort();  // no keys: nothing moves
  EXPECT_EQ(column(q, 0), (std::vector<std::string>{"x", "y", "z", "w", "v"}));
  q.add_sort(3, -1);
  q.add_sort(1, 1);

  // One key per declared field at most.
  for (int i = 0; i < 10; ++i) q.add_sort(0, 1);
  EXPECT_EQ(q.SORT_COUNT, 5);
}

TEST(Query, SortsOrderIntegersAcrossTheWholeRange) {
  auto b = std::make_unique<_mbase>("", "i s2", 0, 0);
  tdbquery q(b.get());
  const int values[] = {INT_MAX, -1, INT_MIN, 0, 5, INT_MIN + 1};
  for (int v : values) {
    q.append();
    q.set_int(v, 0, -1);
  }
  const std::vector<int> want = {INT_MIN, INT_MIN + 1, -1, 0, 5, INT_MAX};
  q.add_sort(0, 1);
  q.sort();
  std::vector<int> got;
  for (int i = 0; i < q.size(); ++i) got.push_back(q.get_int(0, i));
  EXPECT_EQ(got, want);
  q.query();
  q.quick_sort();
  got.clear();
  for (int i = 0; i < q.size(); ++i) got.push_back(q.get_int(0, i));
  EXPECT_EQ(got, want);
}

TEST(Query, ConditionsAndAlternatives) {
  auto b = std::make_unique<_mbase>("", "s8 i d", 0, 0);
  tdbquery q(b.get());
  struct {
    const char* s;
    int i;
    tdate d;
  } rows[] = {{"ab", 1, tdate(1, 1, 2020)},  {"abc", 5, tdate(2, 1, 2020)}, {"a b", 5, tdate(1, 2, 2019)},
              {"xa", 7, tdate(1, 1, 2021)},  {"ab", 9, tdate(31, 12, 2019)}};
  for (auto& r : rows) {
    q.append();
    q.set_string(r.s, 0, -1);
    q.set_int(r.i, 1, -1);
    q.set_date(r.d, 2, -1);
  }
  auto listed = [&] {
    std::vector<int> r;
    for (int i = 0; i < q.size(); ++i) r.push_back(q.record(i));
    return r;
  };

  // A two-letter value matches every field starting with it, blanks or
  // more letters after, and none starting only with its first letter.
  q.add_query(0, 0, "ab", false);
  q.query();
  EXPECT_EQ(listed(), (std::vector<int>{0, 1, 4}));

  // a, b (or), c: a or (b and c).
  q.clear_query();
  q.add_query(1, 0, "1", false);  // a: i = 1
  q.add_query(1, 1, "6", true);   // b: i >= 6
  q.add_query(0, 2, "ab", false);  // c: s does not start with "ab"
  q.query();
  EXPECT_EQ(listed(), (std::vector<int>{0, 3}));

  // A first condition with or set is an ordinary one.
  q.clear_query();
  q.add_query(1, -1, "5", true);
  q.add_query(2, 1, "01.01.2020", false);
  q.query();
  EXPECT_EQ(listed(), (std::vector<int>{0, 1}));
  EXPECT_FALSE(q._query->OR);

  // Removed records never match; no conditions lists every present record.
  q.clear_query();
  b->remove(3);
  q.query();
  EXPECT_EQ(listed(), (std::vector<int>{0, 1, 2, 4}));

  // Find conditions test one position.
  q.add_find(2, -1, "31-12-2019", false);
  EXPECT_FALSE(q.find_record(0));
  EXPECT_TRUE(q.find_record(2));
  EXPECT_TRUE(q.find_record(3));
  EXPECT_FALSE(q.find_record(7));

  // check_query drops what no longer passes; update_query picks up what
  // was appended behind the query's back and drops what was removed.
  q.add_query(1, 2, "9", false);
  q.check_query();
  EXPECT_EQ(listed(), (std::vector<int>{0, 1, 2}));
  tdbquery other(b.get());
  other.append();
  other.set_int(3, 1, -1);
  b->remove(1);
  q.update_query();
  EXPECT_EQ(listed(), (std::vector<int>{0, 2, 5}));
  other.append();
  other.append();
  q.update_query(true);
  EXPECT_EQ(listed(), (std::vector<int>{7, 6, 0, 2, 5}));
}

TEST(Query, RemoveOutOfRangeAndSelection) {
  auto b = std::make_unique<_mbase>("dhcpdev", DEVICES, 100, 0);
  tdbquery q(b.get());
  for (const char* n : {"a", "b", "c", "d", "e"}) add_row(q, n, "1");
  q = 3;
  int changes = b->modify();
  for (int bad : {-1, -2, INT_MIN, 5, 6, 65536, INT_MAX}) q.remove(bad);
  EXPECT_EQ(q.size(), 5);
  EXPECT_EQ(q.pos(), 3);
  EXPECT_EQ(b->modify(), changes);
  for (int r = 0; r < 5; ++r) EXPECT_EQ(*(char*)b->get(b->NUM_ELEMENT, r), 1);

  q.remove_selection();  // nothing marked: nothing at all happens
  EXPECT_EQ(q.size(), 5);
  EXPECT_EQ(q.pos(), 3);
  EXPECT_EQ(b->modify(), changes);

  q.remove(1);
  EXPECT_EQ(q.pos(), 0);
  EXPECT_EQ(column(q, 0), (std::vector<std::string>{"a", "c", "d", "e"}));
  EXPECT_EQ(*(char*)b->get(b->NUM_ELEMENT, 1), 0);
  EXPECT_FALSE(q.modify());  // its own change
  EXPECT_EQ(b->modify(), changes + 1);

  q.select_all();
  q.set_select(1);
  q.invert_select_all();
  q.set_select(3);
  EXPECT_TRUE(q.select(1));
  EXPECT_TRUE(q.select(3));
  EXPECT_EQ(q.select_count(), 2);
  q = 2;
  q.remove_selection();
  EXPECT_EQ(q.pos(), 0);
  EXPECT_EQ(column(q, 0), (std::vector<std::string>{"a", "d"}));
  EXPECT_FALSE(q.select());
  EXPECT_EQ(*(char*)b->get(b->NUM_ELEMENT, 4), 0);

  // Changes by somebody else show; one's own announced changes do not.
  tdbquery other(b.get());
  other.set_modify(1);
  EXPECT_TRUE(q.modify());
  q.query();
  EXPECT_FALSE(q.modify());
  q.set_modify(1);
  EXPECT_FALSE(q.modify());

  q.clear();
  EXPECT_EQ(q.size(), 0);
  EXPECT_EQ(b->size(), 0);
}

TEST(Query, LowerCaseAndTextSearch) {
  char text[] = "ABC xyz \xC0\xC1\xDF \xE0\xFF \xA8 123";  // АБЯ аяЁ in cp1251
  tdbquery::to_lower(text);
  EXPECT_STREQ(text, "abc xyz \xE0\xE1\xFF \xE0\xFF \xA8 123");
  char lit[] = "Прибор ZX";
  tdbquery::to_lower(lit);
  EXPECT_STREQ(lit, "прибор zx");

  EXPECT_TRUE(tdbquery::find_string_in_string("abc", "abc"));
  EXPECT_TRUE(tdbquery::find_string_in_string("abc", "bc"));
  EXPECT_FALSE(tdbquery::find_string_in_string("abc", "abcd"));
  EXPECT_FALSE(tdbquery::find_string_in_string("abc", "ac"));

  auto b = std::make_unique<_mbase>("", "s12 d t i", 0, 0);
  tdbquery q(b.get());
  q.append();
  q.set_string("Прибор ZX", 0, -1);
  q.set_date(tdate(5, 3, 2016), 1, -1);
  q.set_time(ttime(7, 8, 9), 2, -1);
  q.append();
  q.set_string("ДАТЧИК", 0, -1);
  q.set_int(2016, 3, -1);  // integers are not searched
  q.append();
  q.set_string("датчик", 0, -1);
  b->remove(2);

  q.quick_query("датч");
  ASSERT_EQ(q.size(), 1);
  EXPECT_EQ(q.record(0), 1);
  q.quick_query("ор zx");
  ASSERT_EQ(q.size(), 1);
  EXPECT_EQ(q.record(0), 0);
  q.quick_query("05-03-2016");
  EXPECT_EQ(q.size(), 1);
  q.quick_query("07:08.09");
  EXPECT_EQ(q.size(), 1);
  q.quick_query("2016");
  EXPECT_EQ(q.size(), 1);
  q.quick_query("ZX");  // the text itself is not lowered
  EXPECT_EQ(q.size(), 0);
}

}  // namespace
