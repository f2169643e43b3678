// The MAC ledger as a file: what it refuses to read, what it refuses to
// write, and that a line is on the disk before an address counts as
// reserved.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "workflow/ledger.h"
#include "workflow/record.h"
#include "workflow/workflow.h"
#include "platform/durable.h"

namespace {

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void spit(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// What the sync seam saw: every sync in order, with the file's content at
// that moment.
struct sync_event {
  std::string path;
  bool folder;
  std::string content;
};
std::vector<sync_event> g_syncs;
std::string g_failing;  // syncs of this path fail

bool watch_sync(const std::string& path, bool folder) {
  g_syncs.push_back({path, folder, folder ? "" : slurp(path)});
  return path != g_failing;
}

ledger_line line_of(const char* mac, const char* result) {
  ledger_line l;
  l.time = "2026-01-01T00:00:00+00:00";
  l.address = "192.0.2.10";
  l.name = "Плата";
  l.new_mac = mac;
  l.result = result;
  return l;
}

class Ledger : public ::testing::Test {
 protected:
  std::string dir;

  void SetUp() override {
    char tmpl[] = "/tmp/veskor-ledger-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    g_syncs.clear();
    g_failing.clear();
    plat::set_sync_hook(nullptr);
  }
  void TearDown() override {
    plat::set_sync_hook(nullptr);
    alarm(0);
    std::filesystem::remove_all(dir);
  }

  std::string ledger() const { return dir + "/data/veskor/ledger.csv"; }

  // Three lines through ledger_append; the file's content.
  std::string three_lines() {
    std::string error;
    for (const char* mac : {"5A:3C:19:11:46:02", "5A:3C:19:11:46:03"})
      EXPECT_TRUE(ledger_append(ledger(), line_of(mac, LEDGER_RESERVED), error)) << error;
    EXPECT_TRUE(ledger_append(ledger(), line_of("5A:3C:19:11:46:03", LEDGER_CONFIRMED), error)) << error;
    return slurp(ledger());
  }

  // The ledger reads, with n lines.
  void expect_lines(size_t n) {
    std::vector<ledger_line> lines;
    std::string error;
    EXPECT_TRUE(ledger_read(ledger(), lines, error)) << error;
    EXPECT_EQ(lines.size(), n);
  }
};

TEST_F(Ledger, TheSeriesContinuesPastItsOwnAddressesOnly) {
  auto line = [](const char* mac) { return line_of(mac, LEDGER_CONFIRMED); };
  unsigned char last[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x02}, next[6];
  // Typed by hand and recorded: higher counting bytes than the series has
  // reached, and one whose counting bytes are the series' next address.
  std::vector<ledger_line> lines = {line("5A:3C:19:11:46:04"), line("02:00:00:FA:FA:F0"),
                                    line("AA:BB:CC:11:46:05"), line("00:00:00:00:00:00")};
  ledger_series_next(lines, last, next);
  EXPECT_EQ(format_mac(next), "5A:3C:19:11:46:05");
  // A last address from outside the series counts for nothing either.
  unsigned char foreign[6] = {0x02, 0x00, 0x00, 0xFA, 0xFA, 0xFA};
  ledger_series_next({}, foreign, next);
  EXPECT_EQ(format_mac(next), "5A:3C:19:11:46:02");
}

// A typed address the ledger gives to another device already: its last
// line decides, and the device that holds it may have it again.
TEST_F(Ledger, AnAddressGivenToAnotherDeviceIsKnownByItsLastLine) {
  std::vector<ledger_line> lines = {line_of("5A:3C:19:11:46:02", LEDGER_RESERVED),
                                    line_of("5A:3C:19:11:46:02", LEDGER_CONFIRMED),
                                    line_of("5a-3c-19-11-46-03", LEDGER_RESERVED),
                                    line_of("5A:3C:19:11:46:04", LEDGER_CONFIRMED),
                                    line_of("5A:3C:19:11:46:04", LEDGER_RESERVED),
                                    line_of("5A:3C:19:11:46:04", LEDGER_FAILED)};
  unsigned char mac[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x02};
  EXPECT_EQ(ledger_given_elsewhere(lines, mac, "02:00:00:00:00:01"), &lines[1]);
  EXPECT_EQ(ledger_given_elsewhere(lines, mac, ""), &lines[1]);
  EXPECT_EQ(ledger_given_elsewhere(lines, mac, "5A:3C:19:11:46:02"), nullptr) << "the device's own";
  mac[5] = 0x03;  // reserved, the outcome unknown: perhaps taken
  EXPECT_EQ(ledger_given_elsewhere(lines, mac, "02:00:00:00:00:01"), &lines[2]);
  mac[5] = 0x04;  // last refused: free again
  EXPECT_EQ(ledger_given_elsewhere(lines, mac, "02:00:00:00:00:01"), nullptr);
  mac[5] = 0x05;
  EXPECT_EQ(ledger_given_elsewhere(lines, mac, "02:00:00:00:00:01"), nullptr);
}

// A bench's block: the next address stays inside it, continues past the
// block's own addresses only, and is refused once the last one is out.
TEST_F(Ledger, ABlockHandsOutItsOwnAddressesUntilItsLast) {
  mac_block b;
  EXPECT_TRUE(parse_mac_block("5A:3C:19:20:00:00-5A:3C:19:20:00:02", b));
  EXPECT_EQ(format_mac_block(b), "5A:3C:19:20:00:00-5A:3C:19:20:00:02");
  mac_block kept = b;
  for (const char* bad : {"5A:3C:19:20:00:02-5A:3C:19:20:00:00", "5A:3C:19:20:00:00-5A:3C:19:20:00:FB",
                          "02:00:00:00:00:00-02:00:00:00:00:09", "5A:3C:19:20:00:00", "5A:3C:19:20:00:00-"})
    EXPECT_FALSE(parse_mac_block(bad, b)) << bad;
  EXPECT_EQ(format_mac_block(b), format_mac_block(kept)) << "a refused block leaves the old one";
  // Dashes inside the addresses too.
  EXPECT_TRUE(parse_mac_block("5a-3c-19-20-00-00-5a-3c-19-20-00-02", b));

  auto line = [](const char* mac) { return line_of(mac, LEDGER_CONFIRMED); };
  unsigned char last[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x07}, next[6] = {};
  // "LastMac" below the block, an address of another bench above it: the
  // block starts at its first address.
  ASSERT_TRUE(ledger_block_next({line("5A:3C:19:30:00:00")}, last, b, next));
  EXPECT_EQ(format_mac(next), "5A:3C:19:20:00:00");
  ASSERT_TRUE(ledger_block_next({line("5A:3C:19:20:00:00")}, last, b, next));
  EXPECT_EQ(format_mac(next), "5A:3C:19:20:00:01");
  unsigned char in_block[6] = {0x5A, 0x3C, 0x19, 0x20, 0x00, 0x01};
  ASSERT_TRUE(ledger_block_next({line("5A:3C:19:20:00:00")}, in_block, b, next));
  EXPECT_EQ(format_mac(next), "5A:3C:19:20:00:02");
  unsigned char before[6];
  memcpy(before, next, 6);
  EXPECT_FALSE(ledger_block_next({line("5A:3C:19:20:00:02")}, last, b, next));
  EXPECT_EQ(format_mac(next), format_mac(before)) << "nothing handed out past the block";
  // The count of a block spans the 251 values of a byte.
  mac_block wide;
  ASSERT_TRUE(parse_mac_block("5A:3C:19:20:00:FA-5A:3C:19:20:01:00", wide));
  EXPECT_EQ(mac_series_index(wide.last) - mac_series_index(wide.first), 1u);
}

// A torn last line (its line end never written) and a NUL inside a field:
// refused with the line's number, and the file is never written to.
TEST_F(Ledger, ADamagedFileIsRefusedByLineAndLeftAsItIs) {
  std::string good = three_lines();
  std::string nul_line = "2026-01-01T00:00:00+00:00,192.0.2.10,Board" + std::string(1, '\0') +
                         "7,,5A:3C:19:11:46:04,,,reserved\n";
  // A torn last line, even one cut just before its line end, says nothing
  // certain about the address it was writing.
  for (const std::string& tail : {std::string("2026-01-01T00:00:00+00:00,192.0.2.10,x,,5A:3C:19:11:46:04,,,reserv"),
                                  std::string("2026-01-01T00:00:00+00:00,192.0.2.10,x,,5A:3C:19:11:46:04,,,reserved"),
                                  nul_line}) {
    std::string damaged = good + tail;
    spit(ledger(), damaged);
    std::vector<ledger_line> lines;
    std::string error;
    EXPECT_FALSE(ledger_read(ledger(), lines, error));
    EXPECT_NE(error.find("строка 5"), std::string::npos) << error;
    EXPECT_NE(error.find(ledger()), std::string::npos) << error;
    EXPECT_FALSE(ledger_append(ledger(), line_of("5A:3C:19:11:46:05", LEDGER_RESERVED), error));
    EXPECT_EQ(slurp(ledger()), damaged);
  }
}

TEST_F(Ledger, ALineTheReaderWouldRefuseIsNeverWritten) {
  std::string before = three_lines();
  ledger_line l = line_of("5A:3C:19:11:46:04", LEDGER_RESERVED);
  // 4096 quotes are 8192 once doubled: more than a line may hold.
  l.firmware = std::string(4096, '"');
  std::string error;
  EXPECT_FALSE(ledger_append(ledger(), l, error));
  EXPECT_NE(error.find(ledger()), std::string::npos) << error;
  EXPECT_EQ(slurp(ledger()), before);
  // A long line that fits is written and read back whole.
  l.firmware = std::string(8000, 'f');
  ASSERT_TRUE(ledger_append(ledger(), l, error)) << error;
  std::vector<ledger_line> lines;
  ASSERT_TRUE(ledger_read(ledger(), lines, error)) << error;
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3].firmware, l.firmware);
}

TEST_F(Ledger, AFifoInTheLedgersPlaceIsRefusedAtOnce) {
  std::filesystem::create_directories(dir + "/data/veskor");
  ASSERT_EQ(mkfifo(ledger().c_str(), 0600), 0);
  alarm(60);  // a hang in open() ends the test instead of the suite
  std::vector<ledger_line> lines;
  std::string error;
  EXPECT_FALSE(ledger_read(ledger(), lines, error));
  EXPECT_NE(error.find(ledger()), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(ledger_append(ledger(), line_of("5A:3C:19:11:46:02", LEDGER_RESERVED), error));
  EXPECT_NE(error.find(ledger()), std::string::npos) << error;
}

TEST_F(Ledger, AFailedSyncCutsTheLineBackOff) {
  std::string before = three_lines();
  g_failing = ledger();
  plat::set_sync_hook(watch_sync);
  std::string error;
  EXPECT_FALSE(ledger_append(ledger(), line_of("5A:3C:19:11:46:04", LEDGER_RESERVED), error));
  EXPECT_NE(error.find(ledger()), std::string::npos) << error;
  EXPECT_EQ(slurp(ledger()), before);
  plat::set_sync_hook(nullptr);
  ASSERT_TRUE(ledger_append(ledger(), line_of("5A:3C:19:11:46:04", LEDGER_RESERVED), error)) << error;
  expect_lines(4);
}

// The reserved line is in the file when the file is synced, and a new
// ledger's name is synced into its folder after that, before the append
// reports success; every later line is synced too.
TEST_F(Ledger, EveryLineReachesTheDiskBeforeItCounts) {
  plat::set_sync_hook(watch_sync);
  std::string error;
  ASSERT_TRUE(ledger_append(ledger(), line_of("5A:3C:19:11:46:02", LEDGER_RESERVED), error)) << error;
  std::string folder = dir + "/data/veskor";
  auto file_synced = [&](const char* mac) {
    for (size_t i = 0; i < g_syncs.size(); i++)
      if (!g_syncs[i].folder && g_syncs[i].path == ledger() && g_syncs[i].content.find(mac) != std::string::npos)
        return (long)i;
    return -1L;
  };
  long file = file_synced("5A:3C:19:11:46:02");
  ASSERT_GE(file, 0);
  bool folder_after = false;
  for (size_t i = (size_t)file + 1; i < g_syncs.size(); i++)
    folder_after = folder_after || (g_syncs[i].folder && g_syncs[i].path == folder);
  EXPECT_TRUE(folder_after);
  // The folders made for it are synced into their parents.
  bool data_synced = false;
  for (auto& e : g_syncs) data_synced = data_synced || (e.folder && e.path == dir + "/data");
  EXPECT_TRUE(data_synced);

  g_syncs.clear();
  ASSERT_TRUE(ledger_append(ledger(), line_of("5A:3C:19:11:46:02", LEDGER_CONFIRMED), error)) << error;
  EXPECT_GE(file_synced("confirmed"), 0);
  EXPECT_EQ(plat::set_sync_hook(nullptr), watch_sync);
}

}  // namespace

namespace {

// Made, then the process killed before its first line: an empty file is an
// empty ledger, and the first line written into it brings the header.
TEST_F(Ledger, AnEmptyFileIsAnEmptyLedgerAndItsFirstLineBringsTheHeader) {
  std::string header = three_lines();
  header = header.substr(0, header.find('\n') + 1);
  spit(ledger(), "");
  expect_lines(0);
  std::string error;
  ASSERT_TRUE(ledger_append(ledger(), line_of("5A:3C:19:11:46:05", LEDGER_RESERVED), error)) << error;
  EXPECT_EQ(slurp(ledger()).rfind(header, 0), 0u) << slurp(ledger());
  expect_lines(1);
}

// A bench given one address: a block whose first is its last, as typed for
// `series --block` and as kept in the settings.
TEST_F(Ledger, ABlockOfOneAddressHandsOutThatAddress) {
  setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
  mac_block b;
  ASSERT_TRUE(parse_mac_block("5A:3C:19:20:00:07-5A:3C:19:20:00:07", b));
  std::string problem;
  std::unique_ptr<mac_ledger> file = open_file_ledger(ledger(), "", "");
  ASSERT_TRUE(file->set_block(b, problem)) << problem;
  series_state state;
  ASSERT_TRUE(file->series(state, problem)) << problem;
  EXPECT_TRUE(state.has_block);
  ASSERT_TRUE(state.has_next);
  EXPECT_EQ(format_mac(state.next), "5A:3C:19:20:00:07");
  EXPECT_EQ(state.left, 1u);
  std::string error;
  ASSERT_TRUE(ledger_append(ledger(), line_of("5A:3C:19:20:00:07", LEDGER_CONFIRMED), error)) << error;
  ASSERT_TRUE(file->series(state, problem)) << problem;
  EXPECT_FALSE(state.has_next) << "used up";
}

}  // namespace

namespace {

// A bench ledger written by the previous version (eight fields) stays
// readable and is only ever appended to; the records this version adds to
// it are read back with every field, and trace finds a board's history by
// the MAC it got: the burn before the address, though the board had
// another MAC then, and the firmware's boards with the MAC they have now.
TEST_F(Ledger, AnOldFileIsOnlyAppendedToAndTraceFindsTheBurnBeforeTheAddress) {
  const std::string old_text =
      "time,address,name,old_mac,new_mac,firmware,sha256,result\n"
      "2026-01-01T00:00:00+00:00,192.0.2.10,A,,5A:3C:19:11:46:02,,,reserved\n"
      "2026-01-01T00:00:01+00:00,192.0.2.10,A,,5A:3C:19:11:46:02,,,confirmed\n";
  std::filesystem::create_directories(dir + "/data/veskor");
  spit(ledger(), old_text);
  std::unique_ptr<mac_ledger> file = open_file_ledger(ledger(), "стенд \"1\"; DROP", "оператор");
  std::string problem;
  ASSERT_TRUE(file->ready(problem)) << problem;

  const std::string sha(64, 'a');
  ledger_device board;
  board.name = "B";
  board.old_mac = "00:11:22:33:44:55";
  board.firmware = "/fw/прошивка.hex";
  board.sha256 = sha;
  burn_on_record burn(file.get(), "192.0.2.11", board, true);
  burn.end(false, "burn", 7);
  burn_on_record again(file.get(), "192.0.2.11", board, false);
  again.end(true, "burn", -1);
  ASSERT_TRUE(burn.problem.empty() && again.problem.empty()) << burn.problem << again.problem;
  ledger_line step;
  step.address = "192.0.2.11";
  step.name = "B";
  step.old_mac = board.old_mac;
  step.sha256 = sha;
  step.kind = RECORD_MAC;
  step.id = step_id(again.id());
  bool exhausted = false;
  setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
  ASSERT_EQ(file->reserve_next(step, exhausted, problem), RECORD_DONE) << problem;
  EXPECT_EQ(step.new_mac, "5A:3C:19:11:46:03") << "past the old lines";
  step.result = LEDGER_CONFIRMED;
  ASSERT_EQ(file->settle(step, problem), RECORD_DONE) << problem;

  std::string text = slurp(ledger());
  EXPECT_EQ(text.rfind(old_text, 0), 0u) << "the old lines stay as they were";
  std::vector<ledger_line> lines;
  ASSERT_TRUE(ledger_read(ledger(), lines, problem)) << problem;
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0].kind, RECORD_MAC);
  EXPECT_EQ(lines[3].result, BURN_FAILED);
  EXPECT_EQ(lines[3].stage, "burn");
  EXPECT_EQ(lines[3].page, 7);
  EXPECT_EQ(lines[3].target, TARGET_COPROCESSOR);
  EXPECT_EQ(lines[3].bench, "стенд \"1\"; DROP");
  EXPECT_EQ(lines[3].firmware, "/fw/прошивка.hex");

  trace_query q;
  q.by = trace_query::BY_MAC;
  ASSERT_TRUE(parse_mac("5A:3C:19:11:46:03", q.mac));
  std::vector<trace_entry> history;
  ASSERT_TRUE(file->trace(q, history, problem)) << problem;
  ASSERT_EQ(history.size(), 2u) << "the flashing burn and the step; not the failed burn of another line";
  EXPECT_EQ(history[0].record.result, BURN_FLASHED);
  EXPECT_EQ(history[1].record.result, LEDGER_CONFIRMED);

  q.by = trace_query::BY_FIRMWARE;
  q.sha256 = sha;
  ASSERT_TRUE(file->trace(q, history, problem)) << problem;
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].mac_now, "00:11:22:33:44:55") << "the failed burn's board kept its MAC";
  EXPECT_EQ(history[1].mac_now, "5A:3C:19:11:46:03");

  // Reading a line back that is no record of either kind refuses the file.
  spit(ledger(), text + "2026-01-01T00:00:00+00:00,192.0.2.10,A,,,,,flashed,b,o,x,burn,,,\n");
  EXPECT_FALSE(ledger_read(ledger(), lines, problem)) << "a burn without its memory";
}

}  // namespace
