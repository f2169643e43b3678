// The line's ledger in a real PostgreSQL server (tests/pg): addresses taken
// by several processes at once, a server that goes away and comes back, a
// lost commit, a spool left by a killed process, the schema, the import of
// bench files, and texts that try to be SQL.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

#include "tests/pg/pgtest.h"
#include "workflow/ledger_db.h"
#include "workflow/workflow.h"

namespace {

class LedgerDb : public ::testing::Test {
 protected:
  void SetUp() override {
    // The spool lives under the data home: each test gets its own.
    char tmpl[] = "/tmp/veskor-ledgerdb-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = tmpl;
    setenv("XDG_DATA_HOME", home_.c_str(), 1);
  }
  void TearDown() override { EXPECT_EQ(std::system(("rm -rf '" + home_ + "'").c_str()), 0); }

  // The spool files under the data home.
  int spool_files() const {
    int n = 0;
    if (DIR* d = opendir((home_ + "/veskor/spool").c_str())) {
      while (dirent* e = readdir(d)) {
        std::string f = e->d_name;
        n += f.size() > 4 && f.compare(f.size() - 4, 4, ".csv") == 0;
      }
      closedir(d);
    }
    return n;
  }

  static void init(const std::string& uri) {
    std::string said, problem;
    ASSERT_TRUE(database_init(uri, said, problem)) << problem;
  }
  static std::string fresh() {
    std::string uri = pgtest::fresh_database(pgtest::shared_socket());
    EXPECT_FALSE(uri.empty()) << "no PostgreSQL server for the tests";
    return uri;
  }
  static ledger_line board(const std::string& name, const std::string& id = record_id()) {
    ledger_line l;
    l.id = id;
    l.address = "10.0.0.7";
    l.name = name;
    l.old_mac = "00:11:22:33:44:55";
    l.firmware = "fw.hex";
    l.sha256 = std::string(64, 'a');
    return l;
  }
  // The ledger's answer once the server is back: it tries at most once a
  // second, so a call right after a failure may still be turned away.
  static record_end reserve_when_back(mac_ledger& ledger, ledger_line& l, std::string& problem) {
    bool exhausted = false;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    record_end e;
    while ((e = ledger.reserve_next(l, exhausted, problem)) == RECORD_AWAY && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return e;
  }
  std::string home_;
};

TEST_F(LedgerDb, SchemaIsMadeOnceAndRefusedWhenMissingOrNewer) {
  std::string uri = fresh();
  ASSERT_FALSE(uri.empty());
  std::string problem, said;
  auto ledger = open_database_ledger(uri, "A", "op");
  EXPECT_EQ(ledger->where(), uri);
  EXPECT_FALSE(ledger->ready(problem));
  EXPECT_EQ(problem, uri + ": в базе нет журнала MAC-адресов; создайте его: veskorctl ledger --init");

  // Two benches initialising at once: one makes it, the other finds it.
  std::string said1, said2, p1, p2;
  bool ok1 = false, ok2 = false;
  std::thread t1([&] { ok1 = database_init(uri, said1, p1); });
  std::thread t2([&] { ok2 = database_init(uri, said2, p2); });
  t1.join();
  t2.join();
  ASSERT_TRUE(ok1) << p1;
  ASSERT_TRUE(ok2) << p2;
  EXPECT_EQ(std::multiset<std::string>({said1, said2}),
            std::multiset<std::string>({"журнал MAC-адресов создан (версия 2)", "журнал уже есть (версия 2)"}));
  ASSERT_TRUE(database_init(uri, said, problem)) << problem;
  EXPECT_EQ(said, "журнал уже есть (версия 2)");
  EXPECT_EQ(pgtest::query(uri, "SELECT count(*) FROM veskor.version"), "1");
  EXPECT_EQ(pgtest::query(uri, "SELECT count(*) FROM veskor.series"), "1");
  EXPECT_TRUE(ledger->ready(problem)) << problem;

  // A bench's role with the rights the schema's comment gives it does its
  // whole work; one that may only read is refused before any board.
  std::string role = "bench_" + record_id().substr(0, 12), reader = "reader_" + record_id().substr(0, 12);
  for (const std::string& sql :
       {"CREATE ROLE " + role + " LOGIN", "CREATE ROLE " + reader + " LOGIN",
        "GRANT USAGE ON SCHEMA veskor TO " + role + ", " + reader, "GRANT SELECT ON veskor.version TO " + role,
        "GRANT SELECT, UPDATE ON veskor.series TO " + role,
        "GRANT SELECT, INSERT, UPDATE ON veskor.block, veskor.mac_step, veskor.burn, veskor.board_live,"
        " veskor.bench_live TO " + role,
        "GRANT SELECT ON ALL TABLES IN SCHEMA veskor TO " + reader})
    ASSERT_EQ(pgtest::query(uri, sql), "") << sql;
  auto bench = open_database_ledger(uri + "&user=" + role, "A", "op");
  ASSERT_TRUE(bench->ready(problem)) << problem;
  mac_block block;
  ASSERT_TRUE(parse_mac_block("5A:3C:19:30:00:00-5A:3C:19:30:00:09", block));
  ASSERT_TRUE(bench->set_block(block, problem)) << problem;
  ledger_line l;
  l.id = record_id();
  bool exhausted = false;
  ASSERT_EQ(bench->reserve_next(l, exhausted, problem), RECORD_DONE) << problem;
  l.result = LEDGER_CONFIRMED;
  ASSERT_EQ(bench->settle(l, problem), RECORD_DONE) << problem;
  EXPECT_EQ(pgtest::query(uri, "SELECT state FROM veskor.mac_step WHERE id = $1", {l.id}), "confirmed");
  auto read_only = open_database_ledger(uri + "&user=" + reader, "A", "op");
  EXPECT_FALSE(read_only->ready(problem));
  EXPECT_EQ(problem, uri + "&user=" + reader + ": нет прав на запись в журнал MAC-адресов");

  // The bench's boards reach the line's live state under the same role.
  live_board board;
  board.address = "192.0.2.10";
  board.name = "Плата";
  board.stage = "burn";
  board.page = 3;
  board.total = 8;
  bench->publish(board);
  bench->publish_bench("running");
  bench.reset();  // what is pending is written before it goes
  std::vector<live_board> boards;
  std::vector<live_bench> benches;
  ASSERT_TRUE(ledger->live(boards, benches, problem)) << problem;
  ASSERT_EQ(boards.size(), 1u);
  EXPECT_EQ(boards[0].name, "Плата");
  EXPECT_EQ(boards[0].bench, "A");
  EXPECT_EQ(boards[0].page, 3);
  ASSERT_EQ(benches.size(), 1u);
  EXPECT_EQ(benches[0].state, "running");

  // A database of the first version is brought up to this one.
  for (const char* sql : {"DROP TABLE veskor.board_live", "DROP TABLE veskor.bench_live", "UPDATE veskor.version SET version = 1"})
    ASSERT_EQ(pgtest::query(uri, sql), "") << sql;
  EXPECT_FALSE(open_database_ledger(uri, "A", "op")->ready(problem));
  EXPECT_EQ(problem, uri + ": журнал в базе старой версии 1; обновите его: veskorctl ledger --init");
  ASSERT_TRUE(database_init(uri, said, problem)) << problem;
  EXPECT_EQ(said, "журнал MAC-адресов обновлён с версии 1 до версии 2");
  EXPECT_TRUE(open_database_ledger(uri, "A", "op")->ready(problem)) << problem;

  EXPECT_EQ(pgtest::query(uri, "UPDATE veskor.version SET version = 99 RETURNING version"), "99");
  auto later = open_database_ledger(uri, "A", "op");
  EXPECT_FALSE(later->ready(problem));
  EXPECT_EQ(problem, uri + ": журнал в базе новее программы (версия 99, программа знает до 2); обновите Veskor");
  EXPECT_FALSE(database_init(uri, said, problem));
  EXPECT_EQ(problem, uri + ": журнал в базе новее программы (версия 99, программа знает до 2); обновите Veskor");

  // A server that is not there, named without its password.
  std::string away = "postgresql://bench:s3cret@/veskor?host=/nonexistent-veskor-socket";
  auto none = open_database_ledger(away, "A", "op");
  EXPECT_EQ(none->where(), "postgresql://bench:***@/veskor?host=/nonexistent-veskor-socket");
  EXPECT_FALSE(none->ready(problem));
  EXPECT_EQ(problem.rfind("Журнал MAC-адресов недоступен: " + none->where() + ": ", 0), 0u) << problem;
  EXPECT_EQ(problem.find("s3cret"), std::string::npos);
}

TEST_F(LedgerDb, ProcessesTakingAddressesAtOnceNeverShareOne) {
  std::string uri = fresh();
  ASSERT_FALSE(uri.empty());
  init(uri);
  const int processes = 4, each = 40;
  std::vector<pid_t> kids;
  for (int p = 0; p < processes; p++) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto ledger = open_database_ledger(uri, "bench" + std::to_string(p), "op");
      for (int i = 0; i < each; i++) {
        ledger_line l = board("b" + std::to_string(i));
        bool exhausted = false;
        std::string problem;
        if (ledger->reserve_next(l, exhausted, problem) != RECORD_DONE) _exit(1);
        l.result = LEDGER_CONFIRMED;
        l.time.clear();
        if (ledger->settle(l, problem) != RECORD_DONE) _exit(2);
      }
      _exit(0);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const std::string total = std::to_string(processes * each);
  EXPECT_EQ(pgtest::query(uri, "SELECT count(*) FROM veskor.mac_step WHERE state = 'confirmed'"), total);
  EXPECT_EQ(pgtest::query(uri, "SELECT count(DISTINCT mac) FROM veskor.mac_step"), total);
  // No gap either: the addresses are the series' first ones, one after another.
  EXPECT_EQ(pgtest::query(uri, "SELECT max(mac) - min(mac) + 1 FROM veskor.mac_step"), total);

  auto ledger = open_database_ledger(uri, "bench9", "op");
  series_state s;
  std::string problem;
  ASSERT_TRUE(ledger->series(s, problem)) << problem;
  ASSERT_TRUE(s.has_last && s.has_next);
  unsigned char expect_last[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, (unsigned char)(0x02 + processes * each - 1)};
  EXPECT_EQ(format_mac(s.last), format_mac(expect_last));
  mac_series_advance(expect_last);
  EXPECT_EQ(format_mac(s.next), format_mac(expect_last));
}

TEST_F(LedgerDb, BlocksKeepBenchesApartAndRunOut) {
  std::string uri = fresh();
  ASSERT_FALSE(uri.empty());
  init(uri);
  auto a = open_database_ledger(uri, "A", "op");
  auto b = open_database_ledger(uri, "B", "op");
  mac_block block, other;
  ASSERT_TRUE(parse_mac_block("5A:3C:19:20:00:00-5A:3C:19:20:00:01", block));
  ASSERT_TRUE(parse_mac_block("5A:3C:19:20:00:01-5A:3C:19:21:00:00", other));
  std::string problem;
  ASSERT_TRUE(a->set_block(block, problem)) << problem;
  EXPECT_FALSE(b->set_block(other, problem));
  EXPECT_EQ(problem, "Блок 5A:3C:19:20:00:01-5A:3C:19:21:00:00 пересекается с блоком стенда A "
                     "(5A:3C:19:20:00:00-5A:3C:19:20:00:01)");

  series_state s;
  ASSERT_TRUE(a->series(s, problem)) << problem;
  EXPECT_TRUE(s.has_block && !s.has_last && s.has_next);
  EXPECT_EQ(format_mac(s.next), "5A:3C:19:20:00:00");
  EXPECT_EQ(s.left, 2u);

  std::vector<std::string> got;
  for (int i = 0; i < 3; i++) {
    ledger_line l = board("x");
    l.bench = "A";
    bool exhausted = false;
    record_end e = a->reserve_next(l, exhausted, problem);
    if (i < 2) {
      ASSERT_EQ(e, RECORD_DONE) << problem;
      EXPECT_EQ(l.result, LEDGER_RESERVED);
      got.push_back(l.new_mac);
    } else {
      EXPECT_EQ(e, RECORD_FAILED);
      EXPECT_TRUE(exhausted);
      EXPECT_EQ(problem, "Серия исчерпана: последний адрес блока 5A:3C:19:20:00:01 выдан.");
    }
  }
  EXPECT_EQ(got, std::vector<std::string>({"5A:3C:19:20:00:00", "5A:3C:19:20:00:01"}));
  // Bench B has no block: the line's series, past all it holds.
  ledger_line l = board("y");
  bool exhausted = false;
  ASSERT_EQ(b->reserve_next(l, exhausted, problem), RECORD_DONE) << problem;
  EXPECT_EQ(l.new_mac, "5A:3C:19:20:00:02");
  EXPECT_EQ(pgtest::query(uri, "SELECT bench FROM veskor.mac_step WHERE id = $1", {l.id}), "B");
}

// The ledger's connection as the server sees it, for the tests that cut it.
std::string g_uri;
bool g_terminated = false;
bool terminate_ledger_backend() {
  std::string killed = pgtest::query(
      g_uri,
      "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE application_name = 'veskor'"
      " AND datname = current_database()");
  return killed == "1";
}
bool kill_before_commit(const char* point) {
  if (std::string(point) == "before commit" && !g_terminated) g_terminated = terminate_ledger_backend();
  return true;
}
bool drop_commit_answer(const char* point) { return std::string(point) != "after commit"; }

TEST_F(LedgerDb, ACommitInDoubtIsSettledByItsId) {
  std::string uri = fresh();
  ASSERT_FALSE(uri.empty());
  init(uri);
  g_uri = uri;
  auto ledger = open_database_ledger(uri, "A", "op");
  std::string problem;
  bool exhausted = false;

  // Committed, but the answer never came: the retry finds the reservation.
  ledger_line l = board("lost answer");
  std::string id = l.id;
  set_ledger_db_hook(drop_commit_answer);
  record_end e = ledger->reserve_next(l, exhausted, problem);
  set_ledger_db_hook(nullptr);
  ASSERT_EQ(e, RECORD_AWAY);
  ledger_line again = board("lost answer", id);
  ASSERT_EQ(reserve_when_back(*ledger, again, problem), RECORD_DONE) << problem;
  EXPECT_EQ(again.new_mac, "5A:3C:19:11:46:02");
  EXPECT_EQ(again.result, LEDGER_RESERVED);
  // And the same id asked for once more is still that one reservation.
  ledger_line third = board("lost answer", id);
  ASSERT_EQ(ledger->reserve_next(third, exhausted, problem), RECORD_DONE) << problem;
  EXPECT_EQ(third.new_mac, again.new_mac);
  EXPECT_EQ(pgtest::query(uri, "SELECT count(*) FROM veskor.mac_step"), "1");

  // The connection cut before the commit: nothing happened, and the retry
  // takes the next address under the same id.
  ledger_line cut = board("cut");
  g_terminated = false;
  set_ledger_db_hook(kill_before_commit);
  e = ledger->reserve_next(cut, exhausted, problem);
  set_ledger_db_hook(nullptr);
  ASSERT_TRUE(g_terminated);
  ASSERT_EQ(e, RECORD_AWAY);
  ledger_line retry = board("cut", cut.id);
  ASSERT_EQ(reserve_when_back(*ledger, retry, problem), RECORD_DONE) << problem;
  EXPECT_EQ(retry.new_mac, "5A:3C:19:11:46:03");
  EXPECT_EQ(pgtest::query(uri, "SELECT count(*) FROM veskor.mac_step"), "2");
  EXPECT_EQ(pgtest::query(uri, "SELECT name FROM veskor.mac_step WHERE id = $1", {cut.id}), "cut");
}

TEST_F(LedgerDb, WhileTheServerIsAwayTheSpoolKeepsWhatCannotWait) {
  pgtest::private_server server;
  ASSERT_TRUE(server.started());
  std::string uri = pgtest::fresh_database(server.socket());
  ASSERT_FALSE(uri.empty());
  init(uri);
  g_uri = uri;
  auto ledger = open_database_ledger(uri, "A", "op");
  std::string problem;
  ASSERT_TRUE(ledger->ready(problem)) << problem;
  bool exhausted = false;
  ledger_line first = board("first");
  ASSERT_EQ(ledger->reserve_next(first, exhausted, problem), RECORD_DONE) << problem;

  // The server loses the ledger's connection between reserved and
  // confirmed, then goes down altogether.
  ASSERT_TRUE(terminate_ledger_backend());
  ASSERT_TRUE(server.down());
  EXPECT_EQ(spool_files(), 0);
  first.result = LEDGER_CONFIRMED;
  first.time.clear();
  EXPECT_EQ(ledger->settle(first, problem), RECORD_DONE) << problem;
  ledger_line burn = board("burnt");
  burn.kind = RECORD_BURN;
  burn.target = TARGET_MAIN;
  burn.result = BURN_BEGUN;
  EXPECT_EQ(ledger->burn(burn, problem), RECORD_DONE) << problem;
  ledger_line away = board("away");
  EXPECT_EQ(ledger->reserve_next(away, exhausted, problem), RECORD_AWAY);
  EXPECT_EQ(problem.rfind("Журнал MAC-адресов недоступен: " + uri + ": ", 0), 0u) << problem;

  // Another process of the bench spools the burn's end and is killed.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto other = open_database_ledger(uri, "A", "op");
    ledger_line end = burn;
    end.result = BURN_FAILED;
    end.stage = "burn";
    end.page = 17;
    end.time.clear();
    std::string p;
    if (other->burn(end, p) != RECORD_DONE) {
      std::fprintf(stderr, "%s\n", p.c_str());
      _exit(1);
    }
    raise(SIGKILL);
    _exit(2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(spool_files(), 1);

  // Back: a new ledger writes the spool before it says it is ready.
  ASSERT_TRUE(server.up());
  auto next = open_database_ledger(uri, "A", "op");
  ASSERT_TRUE(next->ready(problem)) << problem;
  EXPECT_EQ(pgtest::query(uri, "SELECT state FROM veskor.mac_step WHERE id = $1", {first.id}), "confirmed");
  EXPECT_EQ(pgtest::query(uri, "SELECT result || ' ' || stage || ' ' || page FROM veskor.burn WHERE id = $1", {burn.id}),
            "failed burn 17");
  EXPECT_EQ(spool_files(), 0) << "the spool is left after it was written";

  // The first ledger takes up again where the series stands.
  ASSERT_EQ(reserve_when_back(*ledger, away, problem), RECORD_DONE) << problem;
  EXPECT_NE(away.new_mac, first.new_mac);
  EXPECT_EQ(pgtest::query(uri, "SELECT count(DISTINCT mac) FROM veskor.mac_step"), "2");
  // A begin arriving after its end changes nothing.
  ASSERT_EQ(ledger->burn(burn, problem), RECORD_DONE) << problem;
  EXPECT_EQ(pgtest::query(uri, "SELECT result FROM veskor.burn WHERE id = $1", {burn.id}), "failed");
}

TEST_F(LedgerDb, ASpoolWrittenBackWhileOthersAddToItLosesNothing) {
  std::string uri = fresh();
  ASSERT_FALSE(uri.empty());
  init(uri);
  // The bench reaches the server through a folder that leads nowhere
  // first, and then to the server's socket: one location, away and back.
  std::string nowhere = home_ + "/nowhere", link = home_ + "/server";
  ASSERT_EQ(mkdir(nowhere.c_str(), 0700), 0);
  ASSERT_EQ(symlink(nowhere.c_str(), link.c_str()), 0);
  std::string db = uri.substr(std::string("postgresql:///").size(), uri.find('?') - std::string("postgresql:///").size());
  std::string bench_uri = pgtest::uri_of(link, db);

  const int processes = 3, each = 40;
  int go[2], away[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(away), 0);
  std::vector<pid_t> kids;
  for (int p = 0; p < processes; p++) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      auto ledger = open_database_ledger(bench_uri, "A", "op");
      std::string problem;
      // Turned away once, the ledger spools without asking for a second.
      if (ledger->ready(problem)) _exit(1);
      char c = 'a';
      if (write(away[1], &c, 1) != 1 || read(go[0], &c, 1) != 0) _exit(1);
      for (int i = 0; i < each; i++) {
        ledger_line l = board("p" + std::to_string(p) + "-" + std::to_string(i));
        l.kind = RECORD_BURN;
        l.target = TARGET_MAIN;
        l.result = BURN_FLASHED;
        if (ledger->burn(l, problem) != RECORD_DONE) _exit(2);
      }
      _exit(0);
    }
    kids.push_back(pid);
  }
  close(go[0]);
  close(away[1]);
  for (int p = 0; p < processes; p++) {
    char c;
    ASSERT_EQ(read(away[0], &c, 1), 1);
  }
  close(away[0]);
  std::string flip = home_ + "/server.new";
  ASSERT_EQ(symlink(pgtest::shared_socket().c_str(), flip.c_str()), 0);
  ASSERT_EQ(rename(flip.c_str(), link.c_str()), 0);
  close(go[1]);
  // Written back again and again while the others still add to it.
  auto ledger = open_database_ledger(bench_uri, "A", "op");
  std::string problem;
  for (int i = 0; i < 20; i++) EXPECT_TRUE(ledger->ready(problem)) << problem;
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  auto last = open_database_ledger(bench_uri, "A", "op");
  ASSERT_TRUE(last->ready(problem)) << problem;
  EXPECT_EQ(pgtest::query(uri, "SELECT count(*) FROM veskor.burn"), std::to_string(processes * each));
  EXPECT_EQ(spool_files(), 0);
}

ledger_line csv_line(int line, const std::string& time, const std::string& mac, const char* result) {
  ledger_line l;
  l.line = line;
  l.time = time;
  l.address = "10.0.0.9";
  l.name = "board";
  l.new_mac = mac;
  l.result = result;
  return l;
}

TEST_F(LedgerDb, BenchFilesAreImportedOnceAndAnAddressOnTwoBenchesReported) {
  std::string uri = fresh();
  ASSERT_FALSE(uri.empty());
  init(uri);
  std::vector<ledger_line> a = {
      csv_line(2, "2026-12-01T10:00:00+01:00", "5A:3C:19:11:50:00", LEDGER_RESERVED),
      csv_line(3, "2026-12-01T10:00:01+01:00", "5A:3C:19:11:50:00", LEDGER_CONFIRMED),
      csv_line(4, "2026-12-01T10:01:00+01:00", "5A:3C:19:11:50:01", LEDGER_RESERVED),
      csv_line(5, "2026-12-01T10:01:01+01:00", "5A:3C:19:11:50:01", LEDGER_FAILED),
      csv_line(6, "2026-12-01T10:02:00+01:00", "5A:3C:19:11:50:02", LEDGER_RESERVED),
  };
  std::vector<ledger_line> b = {
      csv_line(7, "2026-12-02T09:00:00+01:00", "5A:3C:19:11:50:00", LEDGER_RESERVED),
      csv_line(8, "2026-12-02T09:00:01+01:00", "5A:3C:19:11:50:00", LEDGER_CONFIRMED),
      // Only reserved on A, so never confirmed twice: kept, not reported.
      csv_line(9, "2026-12-02T09:05:00+01:00", "5A:3C:19:11:50:02", LEDGER_RESERVED),
      csv_line(10, "2026-12-02T09:05:01+01:00", "5A:3C:19:11:50:02", LEDGER_CONFIRMED),
  };
  import_report r;
  std::string problem;
  ASSERT_TRUE(database_import(uri, "A.csv", a, r, problem)) << problem;
  EXPECT_EQ(r.added, 3);
  EXPECT_EQ(r.present, 0);
  ASSERT_TRUE(database_import(uri, "A.csv", a, r, problem)) << problem;
  EXPECT_EQ(r.added, 0);
  EXPECT_EQ(r.present, 3);
  ASSERT_TRUE(database_import(uri, "B.csv", b, r, problem)) << problem;
  EXPECT_EQ(r.added, 2);
  EXPECT_EQ(r.confirmed_twice, std::vector<std::string>({"5A:3C:19:11:50:00: B.csv строка 8, A.csv строка 3"}));
  EXPECT_EQ(pgtest::query(uri, "SELECT count(*) FROM veskor.mac_step"), "5");
  EXPECT_EQ(pgtest::query(uri, "SELECT count(*) FROM veskor.mac_step WHERE imported_twice"), "2");
  EXPECT_EQ(pgtest::query(uri, "SELECT string_agg(state, ',' ORDER BY mac) FROM veskor.mac_step WHERE bench = 'A.csv'"),
            "confirmed,failed,reserved");

  auto ledger = open_database_ledger(uri, "C", "op");
  ledger_check c;
  ASSERT_TRUE(ledger->check(c, problem)) << problem;
  ASSERT_EQ(c.errors.size(), 1u);
  EXPECT_EQ(c.errors[0], "5A:3C:19:11:50:00 подтверждён на разных стендах: A.csv строка 3, B.csv строка 8");
  ASSERT_EQ(c.warnings.size(), 1u);
  EXPECT_EQ(c.warnings[0].rfind("5A:3C:19:11:50:02 зарезервирован (стенд A.csv, 2026-12-01T10:02:00+01:00", 0), 0u);
  EXPECT_EQ(c.summary, "строк: 5, подтверждённых адресов: 2, подтверждённых дважды: 1");

  // The series lies past every imported address; a typed one held by a
  // bench is refused.
  ledger_line next = board("n");
  bool exhausted = false;
  ASSERT_EQ(ledger->reserve_next(next, exhausted, problem), RECORD_DONE) << problem;
  EXPECT_EQ(next.new_mac, "5A:3C:19:11:50:03");
  ledger_line typed = board("t");
  typed.new_mac = "5a-3c-19-11-50-00";
  EXPECT_EQ(ledger->reserve_typed(typed, problem), RECORD_FAILED);
  EXPECT_EQ(problem, "Адрес 5A:3C:19:11:50:00 уже выдан другому устройству "
                     "(журнал MAC-адресов: стенд A.csv, 2026-12-01T10:00:00+01:00)");
  typed.new_mac = "5A:3C:19:11:50:01";  // failed on A: free again
  EXPECT_EQ(ledger->reserve_typed(typed, problem), RECORD_DONE) << problem;
}

TEST_F(LedgerDb, HostileTextsAreStoredAndTracedLiterally) {
  std::string uri = fresh();
  ASSERT_FALSE(uri.empty());
  init(uri);
  const std::string bench = "стенд 'A'; \\ \"x\" '); DROP TABLE veskor.mac_step; --";
  const std::string name = "плата'); DROP TABLE veskor.mac_step; -- \\' ;";
  auto ledger = open_database_ledger(uri, bench, "оператор");
  std::string problem;
  ASSERT_TRUE(ledger->ready(problem)) << problem;

  // A board's line of work: a burn, then a MAC step of the same line.
  std::string line = record_id();
  ledger_line burn = board(name, line);
  burn.kind = RECORD_BURN;
  burn.target = TARGET_MAIN;
  burn.result = BURN_BEGUN;
  ASSERT_EQ(ledger->burn(burn, problem), RECORD_DONE) << problem;
  burn.result = BURN_FLASHED;
  burn.time.clear();
  ASSERT_EQ(ledger->burn(burn, problem), RECORD_DONE) << problem;
  ledger_line step = board(name, step_id(line));
  bool exhausted = false;
  ASSERT_EQ(ledger->reserve_next(step, exhausted, problem), RECORD_DONE) << problem;
  step.result = LEDGER_CONFIRMED;
  ASSERT_EQ(ledger->settle(step, problem), RECORD_DONE) << problem;

  trace_query q;
  q.by = trace_query::BY_PERIOD;
  q.bench = bench;
  std::vector<trace_entry> out;
  ASSERT_TRUE(ledger->trace(q, out, problem)) << problem;
  ASSERT_EQ(out.size(), 2u);
  for (const trace_entry& e : out) {
    EXPECT_EQ(e.record.bench, bench);
    EXPECT_EQ(e.record.name, name);
    EXPECT_EQ(e.record.operator_name, "оператор");
    long long at = 0;
    EXPECT_TRUE(record_time(e.record.time, at)) << e.record.time;
    EXPECT_EQ(e.at, at);
  }

  q.by = trace_query::BY_MAC;
  ASSERT_TRUE(parse_mac(step.new_mac.c_str(), q.mac));
  ASSERT_TRUE(ledger->trace(q, out, problem)) << problem;
  ASSERT_EQ(out.size(), 2u);
  std::set<std::string> kinds;
  for (const trace_entry& e : out) kinds.insert(e.record.kind + "/" + e.record.result);
  EXPECT_EQ(kinds, std::set<std::string>({"burn/flashed", "mac/confirmed"}));

  q.by = trace_query::BY_FIRMWARE;
  q.sha256 = burn.sha256;
  ASSERT_TRUE(ledger->trace(q, out, problem)) << problem;
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].mac_now, step.new_mac);
  EXPECT_EQ(out[0].record.target, TARGET_MAIN);

  std::vector<std::string> macs;
  ASSERT_TRUE(ledger->finished_with(burn.sha256, macs, problem)) << problem;
  EXPECT_EQ(macs, std::vector<std::string>({step.new_mac}));
  std::string where_text;
  EXPECT_TRUE(ledger->given_elsewhere(q.mac, "00:11:22:33:44:55", where_text));
  EXPECT_EQ(where_text.rfind("стенд " + bench + ", ", 0), 0u) << where_text;
  EXPECT_FALSE(ledger->given_elsewhere(q.mac, step.new_mac, where_text));
  EXPECT_EQ(pgtest::query(uri, "SELECT count(*) FROM veskor.mac_step"), "1");
}

}  // namespace
