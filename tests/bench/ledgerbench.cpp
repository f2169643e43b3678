// The line's ledger in PostgreSQL over a Unix socket: one address taken
// and confirmed (reserve_next + settle) against its targets, and eight
// processes taking addresses at once: none given twice, and how many a
// second they take together. Uses the server named by $VESKOR_PG_DIR
// (tests/pg/server), or starts one of its own.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/pg/pgtest.h"
#include "workflow/ledger_db.h"

namespace {

using clock_type = std::chrono::steady_clock;
const int SINGLE_ROUNDS = 500;
const int PROCESSES = 8, EACH = 500;
const double MEDIAN_MS = 5, P99_MS = 20, RATE = 300;

double ms_since(clock_type::time_point t0) {
  return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

// One address through the ledger: reserved, then confirmed.
bool one_address(mac_ledger& ledger, int i) {
  ledger_line l;
  l.id = record_id();
  l.address = "10.0.0.7";
  l.name = "board" + std::to_string(i);
  l.old_mac = "00:11:22:33:44:55";
  bool exhausted = false;
  std::string problem;
  if (ledger.reserve_next(l, exhausted, problem) != RECORD_DONE) {
    std::fprintf(stderr, "ledgerbench: %s\n", problem.c_str());
    return false;
  }
  l.result = LEDGER_CONFIRMED;
  l.time.clear();
  return ledger.settle(l, problem) == RECORD_DONE;
}

bool report(const char* what, double value, const char* unit, double target, bool at_most) {
  bool ok = at_most ? value <= target : value >= target;
  std::printf("ledgerbench: %-44s %10.2f %-6s target %s %.0f %s  %s\n", what, value, unit, at_most ? "<=" : ">=",
              target, unit, ok ? "ok" : "MISSED");
  return ok;
}

}  // namespace

int main() {
  std::string socket = pgtest::shared_socket();
  std::string uri = pgtest::fresh_database(socket);
  std::string said, problem;
  if (uri.empty() || !database_init(uri, said, problem)) {
    std::printf("ledgerbench: no PostgreSQL server to measure against %s\n", problem.c_str());
    return 1;
  }
  bool ok = true;

  {
    auto ledger = open_database_ledger(uri, "single", "bench");
    if (!ledger->ready(problem)) {
      std::printf("ledgerbench: %s\n", problem.c_str());
      return 1;
    }
    std::vector<double> ms;
    for (int i = 0; i < SINGLE_ROUNDS; i++) {
      auto t0 = clock_type::now();
      if (!one_address(*ledger, i)) return 1;
      ms.push_back(ms_since(t0));
    }
    std::sort(ms.begin(), ms.end());
    ok &= report("one address (reserve + settle), median", ms[ms.size() / 2], "ms", MEDIAN_MS, true);
    ok &= report("one address (reserve + settle), p99", ms[ms.size() * 99 / 100], "ms", P99_MS, true);
  }

  // Eight processes released together through one pipe.
  int go[2];
  if (pipe(go) != 0) return 1;
  std::vector<pid_t> kids;
  for (int p = 0; p < PROCESSES; p++) {
    pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
      close(go[1]);
      auto ledger = open_database_ledger(uri, "bench" + std::to_string(p), "bench");
      std::string pr;
      if (!ledger->ready(pr)) _exit(1);
      char c;
      if (read(go[0], &c, 1) != 0) _exit(1);
      for (int i = 0; i < EACH; i++)
        if (!one_address(*ledger, i)) _exit(1);
      _exit(0);
    }
    kids.push_back(pid);
  }
  close(go[0]);
  // Connected and ready before the clock starts: what is measured is the
  // taking of addresses, not eight connections being made.
  usleep(500 * 1000);
  auto t0 = clock_type::now();
  close(go[1]);
  bool all = true;
  for (pid_t pid : kids) {
    int status = 0;
    all &= waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  double seconds = ms_since(t0) / 1000;
  if (!all) {
    std::printf("ledgerbench: a process taking addresses failed\n");
    ok = false;
  }
  long long rows = std::atoll(pgtest::query(uri, "SELECT count(*) FROM veskor.mac_step WHERE bench LIKE 'bench%'").c_str());
  long long distinct = std::atoll(pgtest::query(uri, "SELECT count(DISTINCT mac) FROM veskor.mac_step").c_str());
  long long duplicates = rows + SINGLE_ROUNDS - distinct;
  std::printf("ledgerbench: %d processes x %d addresses: %lld taken\n", PROCESSES, EACH, rows);
  ok &= rows == PROCESSES * EACH;
  ok &= report("addresses given twice", (double)duplicates, "", 0, true);
  ok &= report("addresses a second, 8 processes together", rows / seconds, "/s", RATE, false);
  return ok ? 0 : 1;
}
