// A line of benches on one PostgreSQL database: benches that share no file
// never give one address twice, every board is on record, and a server that
// goes away during a batch costs time, never an address or a record.
#include <set>
#include <string>
#include <vector>

#include "tests/device/ctlrun.h"
#include "tests/device/segment.h"
#include "tests/pg/pgtest.h"
#include "workflow/ledger_db.h"

using devtest::host_scope;
using devtest::segment;
using namespace devtest::ctlrun;

namespace {

// veskorctl as one bench of the line runs it: settings and data of its own
// (so nothing but the database is shared), the line's database, its name.
pid_t start_bench(segment& seg, const std::string& dir, const std::string& uri, const std::string& bench,
                  const std::vector<std::string>& args, const std::string& tag) {
  std::string cmd = "XDG_CONFIG_HOME=" + quoted(dir + "/config") + " XDG_DATA_HOME=" + quoted(dir + "/data") +
                    " VESKOR_LEDGER=" + quoted(uri) + " VESKOR_BENCH=" + quoted(bench) + " exec " + quoted(CTL);
  for (auto& a : args) cmd += " " + quoted(a);
  cmd += " >" + quoted(dir + "/" + tag + ".out") + " 2>" + quoted(dir + "/" + tag + ".err") + " </dev/null";
  return seg.spawn_in_host({"/bin/sh", "-c", cmd});
}

bool init_database(const std::string& uri) {
  std::string said, problem;
  return database_init(uri, said, problem);
}

std::string mac_on(segment& seg, int k) {
  host_scope in(seg);
  return device_mac(seg, k);
}

// Tried as a new line would start: three benches, four boards each, each
// bench with nothing of its own but the line's database. Twelve boards get
// twelve addresses, every burn and every address is on record with its
// bench, and trace gives a board's whole history from its MAC.
TEST(LineDatabase, SlowThreeBenchesOnOneDatabaseGiveTwelveBoardsTwelveAddresses) {
  std::string uri = pgtest::fresh_database(pgtest::shared_socket());
  ASSERT_FALSE(uri.empty()) << "no PostgreSQL server for the test";
  ASSERT_TRUE(init_database(uri));
  std::vector<std::unique_ptr<segment>> benches;
  for (int b = 0; b < 3; b++) {
    benches.emplace_back(new segment(4, SMALL));
    START_SEGMENT_OR_SKIP(*benches.back());
  }
  workspace w;
  std::vector<uint8_t> image = random_image(71);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  std::vector<pid_t> pids;
  for (int b = 0; b < 3; b++) {
    std::string dir = w.dir + "/bench" + std::to_string(b);
    mkdir(dir.c_str(), 0700);
    pids.push_back(start_bench(*benches[b], dir, uri, u8("стенд-") + std::to_string(b),
                               {"batch", w.dir + "/fw.hex", "--mac-next", "--count", "4", "--parallel", "0"}, "batch"));
  }
  for (int b = 0; b < 3; b++)
    EXPECT_EQ(segment::wait_exit(pids[b], 120000), 0) << read_file(w.dir + "/bench" + std::to_string(b) + "/batch.err");

  std::set<std::string> macs;
  for (int b = 0; b < 3; b++)
    for (int k = 0; k < 4; k++) macs.insert(mac_on(*benches[b], k));
  EXPECT_EQ(macs.size(), 12u);
  EXPECT_EQ(pgtest::query(uri, "SELECT count(DISTINCT mac) FROM veskor.mac_step WHERE state = 'confirmed'"), "12");
  EXPECT_EQ(pgtest::query(uri, "SELECT count(*) FROM veskor.burn WHERE result = 'flashed'"), "12");
  EXPECT_EQ(pgtest::query(uri, "SELECT count(DISTINCT bench) FROM veskor.burn"), "3");

  // A board's history from its MAC, on the command line: the burn before
  // the address and the address, with the bench that did them.
  std::string mac = mac_on(*benches[1], 2);
  run r = ctl(*benches[1], w, {"trace", mac, "--json", "--ledger", uri});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(count_of(r.out, "\n"), 2) << r.out;
  EXPECT_NE(r.out.find("\"result\":\"flashed\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"new_mac\":\"" + mac + "\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(u8("стенд-1")), std::string::npos) << r.out;
  // And every board the firmware went onto, with the MAC it has now.
  r = ctl(*benches[0], w, {"trace", "--firmware", w.dir + "/fw.hex", "--csv", "--ledger", uri});
  EXPECT_EQ(r.code, 0) << r.err;
  for (const std::string& m : macs) EXPECT_NE(r.out.find("," + m + "\n"), std::string::npos) << m << "\n" << r.out;
  r = ctl(*benches[0], w, {"ledger", "--check", "--ledger", uri});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
}

// The server stopped in the middle of a batch and started again: the burns
// in hand finish, no address is reserved while it is away (the boards wait,
// "ledger_wait" in the JSON events) and they go on by themselves when it is
// back; every board ends with an address of its own, confirmed, and every
// burn is on record, the ones written while it was away included.
TEST(LineDatabase, SlowAServerStoppedAndStartedDuringABatchCostsTimeNeverAnAddress) {
  pgtest::private_server server;
  ASSERT_TRUE(server.started());
  std::string uri = pgtest::fresh_database(server.socket());
  ASSERT_FALSE(uri.empty());
  ASSERT_TRUE(init_database(uri));
  segment seg(4, SMALL);
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image = random_image(72);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  pid_t pid = start_bench(seg, w.dir, uri, u8("стенд"),
                          {"batch", w.dir + "/fw.hex", "--mac-next", "--count", "4", "--parallel", "0", "--json"},
                          "batch");
  uint32_t start = plat::tick();
  while (pgtest::query(uri, "SELECT count(*) FROM veskor.burn") != "4" && plat::tick() - start < 60000)
    plat::sleep_ms(20);
  ASSERT_TRUE(server.down());
  start = plat::tick();
  while (read_file(w.dir + "/batch.out").find("\"ledger_wait\"") == std::string::npos && plat::tick() - start < 60000)
    plat::sleep_ms(50);
  EXPECT_NE(read_file(w.dir + "/batch.out").find("\"ledger_wait\""), std::string::npos) << read_file(w.dir + "/batch.err");
  plat::sleep_ms(1500);
  ASSERT_TRUE(server.up());
  EXPECT_EQ(segment::wait_exit(pid, 120000), 0) << read_file(w.dir + "/batch.err");

  std::set<std::string> macs;
  for (int k = 0; k < 4; k++) {
    macs.insert(mac_on(seg, k));
    std::vector<uint8_t> mem = seg.memory(k);
    EXPECT_TRUE(mem.size() >= image.size() && std::equal(image.begin(), image.end(), mem.begin())) << k;
  }
  EXPECT_EQ(macs.size(), 4u);
  for (const std::string& m : macs)
    EXPECT_EQ(pgtest::query(uri, "SELECT state FROM veskor.mac_step WHERE mac = "
                                 "('x' || lpad(replace($1, ':', ''), 16, '0'))::bit(64)::bigint",
                            {m}),
              "confirmed")
        << m;
  EXPECT_EQ(pgtest::query(uri, "SELECT count(*) FROM veskor.mac_step"), "4");
  EXPECT_EQ(pgtest::query(uri, "SELECT count(*) FROM veskor.burn WHERE result = 'flashed'"), "4");
}

// A database that cannot be reached, or holds no ledger, stops `mac`
// before the board is touched, saying where — and never the password.
TEST(LineDatabase, AnUnreachableOrEmptyDatabaseStopsMacBeforeAnythingIsSent) {
  std::string socket = pgtest::shared_socket();
  std::string uri = pgtest::fresh_database(socket);
  ASSERT_FALSE(uri.empty());
  segment seg(1, SMALL);
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::string ip = seg.device_ip(0);
  std::string away = "postgresql://veskor:sekret@/line?host=" + w.dir + "/no-server";
  run r = ctl(seg, w, {"mac", ip, "--next", "--ledger", away});
  EXPECT_EQ(r.code, 3) << r.err;
  EXPECT_NE(r.err.find(u8("Журнал MAC-адресов недоступен: postgresql://veskor:***@/line")), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("sekret"), std::string::npos) << r.err;
  r = ctl(seg, w, {"mac", ip, "--next", "--ledger", uri});
  EXPECT_EQ(r.code, 3) << r.err;
  EXPECT_NE(r.err.find(u8(": в базе нет журнала MAC-адресов; создайте его: veskorctl ledger --init")),
            std::string::npos)
      << r.err;
  for (auto& q : seg.requests(0)) EXPECT_NE(q.flags, REQ_SET_MAC) << "sent without a ledger";
  EXPECT_FALSE(std::ifstream(w.ledger()).good()) << "the bench's file is not the line's record";
}

}  // namespace

namespace {

// The line view of a database: a batch on one bench shows on a view
// started elsewhere — its boards' stages and results reach an open event
// stream as they happen, and the snapshot names the bench, what it is doing
// and what it did.
TEST(LineDatabase, SlowABenchsBoardsReachAViewServerElsewhereAsTheyHappen) {
  std::string uri = pgtest::fresh_database(pgtest::shared_socket());
  ASSERT_FALSE(uri.empty());
  ASSERT_TRUE(init_database(uri));
  segment seg(2, SMALL);
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image = random_image(73);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));

  // The view, in this namespace, on a free port it names on stderr.
  std::string view_err = w.dir + "/view.err";
  pid_t view = fork();
  if (view == 0) {
    if (!freopen(view_err.c_str(), "w", stderr) || !freopen("/dev/null", "w", stdout)) _exit(126);
    execl(CTL.c_str(), CTL.c_str(), "view", "--listen", "127.0.0.1:0", "--ledger", uri.c_str(), (char*)nullptr);
    _exit(127);
  }
  std::string port;
  uint32_t start = plat::tick();
  while (port.empty() && plat::tick() - start < 20000) {
    std::string e = read_file(view_err);
    size_t at = e.find("127.0.0.1:");
    if (at != std::string::npos) port = e.substr(at + 10, e.find('/', at) - at - 10);
    plat::sleep_ms(50);
  }
  ASSERT_FALSE(port.empty()) << read_file(view_err);
  std::string base = "http://127.0.0.1:" + port;
  std::string events = w.dir + "/events.txt";
  pid_t reader = fork();
  if (reader == 0) {
    execlp("curl", "curl", "-sN", "--max-time", "60", "-o", events.c_str(), (base + "/api/events").c_str(), (char*)nullptr);
    _exit(127);
  }
  // And a real browser on the page: it must see the boards in flight and
  // then done, without a reload.
  std::string watch_out = w.dir + "/watch.out";
  pid_t watcher = fork();
  if (watcher == 0) {
    if (!freopen(watch_out.c_str(), "w", stdout) || !freopen(watch_out.c_str(), "a", stderr)) _exit(126);
    const char* shot = std::getenv("VESKOR_LINE_VIEW_PNG");
    std::string script = std::string(VESKOR_SOURCE_DIR) + "/tests/e2e/linepage_watch.py";
    execl("/usr/bin/python3", "python3", script.c_str(), (base + "/").c_str(), u8("стенд-7").c_str(), "2",
          shot ? shot : (char*)nullptr, (char*)nullptr);
    _exit(127);
  }
  start = plat::tick();
  while (read_file(watch_out).find("ready") == std::string::npos && plat::tick() - start < 30000) plat::sleep_ms(50);
  plat::sleep_ms(500);

  pid_t pid = start_bench(seg, w.dir, uri, u8("стенд-7"),
                          {"batch", w.dir + "/fw.hex", "--mac-next", "--count", "2", "--parallel", "2"}, "batch");
  EXPECT_EQ(segment::wait_exit(pid, 120000), 0) << read_file(w.dir + "/batch.err");
  start = plat::tick();
  while (count_of(read_file(events), "\"result\":\"done\"") < 2 && plat::tick() - start < 10000) plat::sleep_ms(50);
  std::string seen = read_file(events);
  EXPECT_EQ(count_of(seen, "\"result\":\"done\""), 2) << seen;
  EXPECT_NE(seen.find("\"bench\":\"" + u8("стенд-7") + "\",\"board\":\"" + seg.device_ip(0) + "\""), std::string::npos)
      << seen;
  EXPECT_NE(seen.find("\"stage\":\"burn\""), std::string::npos) << seen;

  std::string line = w.dir + "/line.json";
  ASSERT_EQ(std::system(("curl -s -o " + devtest::ctlrun::quoted(line) + " " + base + "/api/line").c_str()), 0);
  std::string snapshot = read_file(line);
  EXPECT_NE(snapshot.find("{\"bench\":\"" + u8("стенд-7") + "\",\"in_flight\":0,\"state\":\"stopped\""),
            std::string::npos)
      << snapshot;
  EXPECT_NE(snapshot.find("\"done\":2"), std::string::npos) << snapshot;
  int watched = segment::wait_exit(watcher, 90000);
  if (watched != 77) {
    EXPECT_EQ(watched, 0) << read_file(watch_out);
  }
  kill(reader, SIGKILL);
  kill(view, SIGINT);
  EXPECT_EQ(segment::wait_exit(view, 10000), 0);
  segment::wait_exit(reader, 5000);
}

}  // namespace
