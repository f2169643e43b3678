// The line's record in PostgreSQL (ledger_db.h).
//
// Tables, all in schema veskor:
//   version   one row: the schema's version;
//   series    one row: the line's range of addresses;
//   block     a bench's part of the series, by bench;
//   mac_step  one row per MAC step, by the id the bench made; the address as
//             a 48-bit number. The unique index mac_step_live is what holds,
//             whatever a client does, that no address is reserved or
//             confirmed for two boards; only an import of what benches did
//             on their own (imported_twice) may stand beside it;
//   burn      one row per burn, by id.
//
// The role the benches of a line connect as needs no more than this (no
// DELETE, no DDL; FOR UPDATE on series and block needs UPDATE there):
//   GRANT USAGE ON SCHEMA veskor TO veskor_bench;
//   GRANT SELECT ON veskor.version TO veskor_bench;
//   GRANT SELECT, UPDATE ON veskor.series TO veskor_bench;
//   GRANT SELECT, INSERT, UPDATE ON veskor.block, veskor.mac_step, veskor.burn,
//     veskor.board_live, veskor.bench_live TO veskor_bench;
// `ledger --init` and `ledger --import` run as the schema's owner.
#include "workflow/ledger_db.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "platform/base.h"
#include "platform/durable.h"
#include "workflow/ledger.h"
#include "workflow/pgsql.h"
#include "workflow/workflow.h"

namespace {

// Taken by --init and --import for their whole transaction: two benches
// initialising at once, or an import beside an init, wait for each other.
const char* const SCHEMA_LOCK = "SELECT pg_advisory_xact_lock(7596835934275617)";

// From version N to N + 1: SCHEMA_STEPS[N]. A database is brought up step by
// step, in one transaction, so it is never left between two versions.
const std::vector<std::vector<const char*>> SCHEMA_STEPS = {
    // 0 -> 1
    {
        "CREATE SCHEMA IF NOT EXISTS veskor",
        "CREATE TABLE veskor.version (version integer NOT NULL)",
        "CREATE TABLE veskor.series (one boolean PRIMARY KEY DEFAULT true CHECK (one),"
        " first bigint NOT NULL, last bigint NOT NULL, CHECK (first <= last))",
        // 5A:3C:19:11:46:02 .. 5A:3C:19:FA:FA:FA
        "INSERT INTO veskor.series (first, last) VALUES (99214165100034, 99214180416250)",
        "CREATE TABLE veskor.block (bench text PRIMARY KEY, first bigint NOT NULL, last bigint NOT NULL,"
        " CHECK (first <= last))",
        "CREATE TABLE veskor.mac_step ("
        " id text PRIMARY KEY,"
        " mac bigint NOT NULL,"
        " state text NOT NULL CHECK (state IN ('reserved', 'confirmed', 'failed')),"
        " bench text NOT NULL, operator text NOT NULL,"
        " address text NOT NULL, name text NOT NULL,"
        " old_mac text NOT NULL, from_mac bigint,"
        " firmware text NOT NULL, sha256 text NOT NULL,"
        " time text NOT NULL, at timestamptz NOT NULL,"
        " settled_time text, settled_at timestamptz,"
        " imported_twice boolean NOT NULL DEFAULT false,"
        " source text)",
        "CREATE UNIQUE INDEX mac_step_live ON veskor.mac_step (mac) WHERE state <> 'failed' AND NOT imported_twice",
        "CREATE INDEX mac_step_mac ON veskor.mac_step (mac)",
        "CREATE INDEX mac_step_from ON veskor.mac_step (from_mac)",
        "CREATE INDEX mac_step_line ON veskor.mac_step (left(id, 32))",
        "CREATE INDEX mac_step_at ON veskor.mac_step (at)",
        "CREATE TABLE veskor.burn ("
        " id text PRIMARY KEY,"
        " bench text NOT NULL, operator text NOT NULL,"
        " address text NOT NULL, name text NOT NULL,"
        " old_mac text NOT NULL, mac bigint,"
        " firmware text NOT NULL, sha256 text NOT NULL,"
        " target text NOT NULL,"
        " result text NOT NULL CHECK (result IN ('begun', 'flashed', 'failed')),"
        " stage text NOT NULL, page integer NOT NULL,"
        " time text NOT NULL, at timestamptz NOT NULL,"
        " ended_time text, ended_at timestamptz)",
        "CREATE INDEX burn_mac ON veskor.burn (mac)",
        "CREATE INDEX burn_sha256 ON veskor.burn (sha256)",
        "CREATE INDEX burn_line ON veskor.burn (left(id, 32))",
        "CREATE INDEX burn_at ON veskor.burn (at)",
    },
    // 1 -> 2: the line's live state, for the line view. One row per board
    // address of a bench and one per bench, only ever updated: a bench
    // needs no DELETE.
    {
        "CREATE TABLE veskor.board_live (bench text NOT NULL, address text NOT NULL, name text NOT NULL,"
        " stage text NOT NULL, page integer NOT NULL, total integer NOT NULL, since timestamptz NOT NULL,"
        " updated_at timestamptz NOT NULL, PRIMARY KEY (bench, address))",
        "CREATE TABLE veskor.bench_live (bench text PRIMARY KEY, state text NOT NULL, seen_at timestamptz NOT NULL)",
    },
};

static_assert(LEDGER_SCHEMA_VERSION == 2, "a new version needs its step in SCHEMA_STEPS");

ledger_db_hook test_hook = nullptr;

bool hook(const char* point) { return !test_hook || test_hook(point); }

// ---- texts and numbers at the database's edge ---------------------------------------

std::string u8(const std::string& cp1251) { return plat::to_utf8(cp1251.c_str(), (int)cp1251.size()); }
std::string cp(const std::string& utf8) { return plat::from_utf8(utf8.c_str()); }

long long mac_number(const unsigned char* mac) {
  long long n = 0;
  for (int i = 0; i < 6; i++) n = (n << 8) | mac[i];
  return n;
}

void number_mac(long long n, unsigned char* mac) {
  for (int i = 5; i >= 0; i--, n >>= 8) mac[i] = (unsigned char)(n & 0xFF);
}

std::string mac_text(long long n) {
  unsigned char m[6];
  number_mac(n, m);
  return format_mac(m);
}

// A MAC text as a parameter: its number, or NULL when it is none.
pg::value mac_param(const std::string& text) {
  unsigned char m[6];
  if (!parse_mac(text.c_str(), m)) return pg::value::none();
  return pg::value(mac_number(m));
}

// A record's time as the parameter of to_timestamp; NULL (the server's
// now()) when it is not one.
pg::value at_param(const std::string& time) {
  long long at;
  if (!record_time(time, at)) return pg::value::none();
  return pg::value(at);
}

// Only addresses of the series count for where it stands: an address typed
// by hand with a byte past 250 lies between them but not on the way.
const char* const HELD_IN_RANGE =
    "SELECT max(mac) FROM veskor.mac_step WHERE mac BETWEEN $1::bigint AND $2::bigint"
    " AND (mac & 255) <= 250 AND ((mac >> 8) & 255) <= 250 AND ((mac >> 16) & 255) <= 250";

// A settled MAC step (or one reserved, replayed from a spool) by its id:
// the row is made when it is missing. It stands beside a live row of
// another board only flagged, so the unique index keeps holding.
const char* const UPSERT_STEP =
    "INSERT INTO veskor.mac_step (id, mac, state, bench, operator, address, name, old_mac, from_mac,"
    " firmware, sha256, time, at, settled_time, settled_at, imported_twice)"
    " VALUES ($1, $2::bigint, $3, $4, $5, $6, $7, $8, $9::bigint, $10, $11, $12,"
    " coalesce(to_timestamp($13::bigint), now()), $14::text, CASE WHEN $14::text IS NULL THEN NULL"
    " ELSE coalesce(to_timestamp($15::bigint), now()) END,"
    " $3 <> 'failed' AND EXISTS (SELECT 1 FROM veskor.mac_step o WHERE o.mac = $2::bigint"
    " AND o.state <> 'failed' AND NOT o.imported_twice AND o.id <> $1))"
    " ON CONFLICT (id) DO UPDATE SET state = EXCLUDED.state,"
    " settled_time = coalesce(EXCLUDED.settled_time, mac_step.settled_time),"
    " settled_at = coalesce(EXCLUDED.settled_at, mac_step.settled_at),"
    " imported_twice = mac_step.imported_twice OR EXCLUDED.imported_twice"
    " WHERE EXCLUDED.state <> 'reserved'";

pg::result upsert_step(pg::connection& c, const ledger_line& l, long long mac) {
  bool settled = l.result != LEDGER_RESERVED;
  pg::value settled_time = settled ? pg::value(u8(l.time)) : pg::value::none();
  return c.exec(UPSERT_STEP, {u8(l.id), mac, l.result, u8(l.bench), u8(l.operator_name), u8(l.address), u8(l.name),
                              u8(l.old_mac), mac_param(l.old_mac), u8(l.firmware), l.sha256, u8(l.time),
                              at_param(l.time), settled_time, at_param(l.time)});
}

// A burn by its id: its begin is written once and never over its end; its
// end replaces the begin.
pg::result upsert_burn(pg::connection& c, const ledger_line& l) {
  bool begun = l.result == BURN_BEGUN;
  std::string sql =
      "INSERT INTO veskor.burn (id, bench, operator, address, name, old_mac, mac, firmware, sha256, target,"
      " result, stage, page, time, at, ended_time, ended_at)"
      " VALUES ($1, $2, $3, $4, $5, $6, $7::bigint, $8, $9, $10, $11, $12, $13::integer, $14,"
      " coalesce(to_timestamp($15::bigint), now()), $16::text, CASE WHEN $16::text IS NULL THEN NULL"
      " ELSE coalesce(to_timestamp($15::bigint), now()) END)";
  sql += begun ? " ON CONFLICT (id) DO NOTHING"
               : " ON CONFLICT (id) DO UPDATE SET result = EXCLUDED.result, stage = EXCLUDED.stage,"
                 " page = EXCLUDED.page, ended_time = EXCLUDED.ended_time, ended_at = EXCLUDED.ended_at";
  return c.exec(sql, {u8(l.id), u8(l.bench), u8(l.operator_name), u8(l.address), u8(l.name), u8(l.old_mac),
                      mac_param(l.old_mac), u8(l.firmware), l.sha256, l.target, l.result, u8(l.stage), l.page,
                      u8(l.time), at_param(l.time), begun ? pg::value::none() : pg::value(u8(l.time))});
}

// The URI as libpq gets it: a connection attempt gives up after five
// seconds unless the URI says otherwise.
std::string conninfo_of(const std::string& uri) {
  std::string s = u8(uri);
  if (s.find("connect_timeout=") == std::string::npos) s += (s.find('?') == std::string::npos ? "?" : "&") + std::string("connect_timeout=5");
  return s;
}

std::string unreachable_text(const std::string& where, const std::string& error) {
  return "Журнал MAC-адресов недоступен: " + where + ": " + cp(error);
}

bool open_connection(const std::string& uri, pg::connection& c, std::string& problem) {
  std::string error;
  if (c.open(conninfo_of(uri), "veskor", error)) return true;
  problem = unreachable_text(shown_location(uri), error);
  return false;
}

// The schema's version: 0 when there is none; -1 with problem when it
// cannot be read.
int schema_version(pg::connection& c, const std::string& where, std::string& problem) {
  pg::result r = c.exec("SELECT to_regclass('veskor.version') IS NOT NULL");
  if (r.ok() && r.text(0, 0) == "t") r = c.exec("SELECT coalesce(max(version), 0) FROM veskor.version");
  else if (r.ok()) return 0;
  if (!r.ok()) {
    problem = r.lost() ? unreachable_text(where, r.error()) : where + ": " + cp(r.error());
    return -1;
  }
  return (int)r.number(0, 0);
}

std::string newer_text(const std::string& where, int version) {
  return where + ": журнал в базе новее программы (версия " + std::to_string(version) + ", программа знает до " +
         std::to_string(LEDGER_SCHEMA_VERSION) + "); обновите Veskor";
}

bool failed(const pg::result& r, const std::string& where, std::string& problem) {
  if (r.ok()) return false;
  problem = r.lost() ? unreachable_text(where, r.error()) : where + ": " + cp(r.error());
  return true;
}

// A record read back: the columns every SELECT of a mac_step or a burn for
// trace names in this order.
const char* const STEP_COLUMNS =
    "'mac', id, time, floor(extract(epoch FROM at))::bigint, bench, operator, address, name, old_mac,"
    " mac, firmware, sha256, state, '', '', -1";
const char* const BURN_COLUMNS =
    "'burn', id, time, floor(extract(epoch FROM at))::bigint, bench, operator, address, name, old_mac,"
    " NULL::bigint, firmware, sha256, result, target, stage, page";

trace_entry entry_of(const pg::result& r, int i) {
  trace_entry e;
  ledger_line& l = e.record;
  l.kind = r.text(i, 0) == "burn" ? RECORD_BURN : RECORD_MAC;
  l.id = cp(r.text(i, 1));
  l.time = cp(r.text(i, 2));
  e.at = r.number(i, 3);
  l.bench = cp(r.text(i, 4));
  l.operator_name = cp(r.text(i, 5));
  l.address = cp(r.text(i, 6));
  l.name = cp(r.text(i, 7));
  l.old_mac = cp(r.text(i, 8));
  if (!r.is_null(i, 9)) l.new_mac = mac_text(r.number(i, 9));
  l.firmware = cp(r.text(i, 10));
  l.sha256 = r.text(i, 11);
  l.result = r.text(i, 12);
  l.target = r.text(i, 13);
  l.stage = cp(r.text(i, 14));
  l.page = (int)r.number(i, 15);
  return e;
}

class database_ledger : public mac_ledger {
 public:
  database_ledger(const std::string& uri, const std::string& bench, const std::string& operator_name)
      : uri_(uri), where_(shown_location(uri)), bench_(bench), operator_(operator_name) {
    std::string home = plat::data_home();
    if (!home.empty()) {
      std::string folder = home + "/veskor/spool";
      spool_ = folder + "/" + sha256_hex(where_.data(), where_.size()).substr(0, 16) + ".csv";
      spool_lock_ = spool_ + ".lock";
    }
  }

  ~database_ledger() override {
    {
      std::lock_guard<std::mutex> g(live_m_);
      live_stop_ = true;
    }
    live_cv_.notify_all();
    if (publisher_.joinable()) publisher_.join();
  }

  std::string where() const override { return where_; }
  bool is_database() const override { return true; }

  // ---- the line's live state --------------------------------------------------------

  void publish(const live_board& board) override {
    std::lock_guard<std::mutex> g(live_m_);
    live_board b = board;
    if (b.bench.empty()) b.bench = bench_;
    // Only the latest state of a board matters: one that changed twice
    // before the thread came round is written once.
    pending_boards_[b.bench + "\n" + b.address] = b;
    start_publisher();
    live_cv_.notify_one();
  }

  void publish_bench(const std::string& state) override {
    std::lock_guard<std::mutex> g(live_m_);
    pending_bench_ = state;
    bench_pending_ = true;
    start_publisher();
    live_cv_.notify_one();
  }

  bool live(std::vector<live_board>& boards, std::vector<live_bench>& benches, std::string& problem) override {
    boards.clear();
    benches.clear();
    std::lock_guard<std::mutex> g(m_);
    if (!connect(problem)) return false;
    pg::result b = conn_.exec(
        "SELECT bench, address, name, stage, page, total, extract(epoch FROM since)::bigint,"
        " extract(epoch FROM updated_at)::bigint FROM veskor.board_live ORDER BY bench, address");
    if (failed(b, where_, problem)) return lost_if_closed(), false;
    for (int i = 0; i < b.rows(); i++) {
      live_board x;
      x.bench = cp(b.text(i, 0));
      x.address = cp(b.text(i, 1));
      x.name = cp(b.text(i, 2));
      x.stage = cp(b.text(i, 3));
      x.page = (int)b.number(i, 4);
      x.total = (int)b.number(i, 5);
      x.since = b.number(i, 6);
      x.updated = b.number(i, 7);
      boards.push_back(x);
    }
    pg::result h = conn_.exec("SELECT bench, state, extract(epoch FROM seen_at)::bigint FROM veskor.bench_live ORDER BY bench");
    if (failed(h, where_, problem)) return lost_if_closed(), false;
    for (int i = 0; i < h.rows(); i++) benches.push_back({cp(h.text(i, 0)), cp(h.text(i, 1)), h.number(i, 2)});
    return true;
  }

  bool changes(std::vector<std::string>& notes, unsigned ms) override {
    std::lock_guard<std::mutex> g(listen_m_);
    if (!listener_.is_open()) {
      auto now = std::chrono::steady_clock::now();
      if (now - listen_tried_ < std::chrono::seconds(1)) return false;
      listen_tried_ = now;
      std::string error;
      if (!listener_.open(conninfo_of(uri_), "veskor-view", error) || !listener_.exec("LISTEN veskor_line").ok()) {
        listener_.close();
        return false;
      }
    }
    if (listener_.notifications(notes, ms)) return true;
    listener_.close();
    return false;
  }

  bool ready(std::string& problem) override {
    std::lock_guard<std::mutex> g(m_);
    if (!connect(problem)) return false;
    int v = schema_version(conn_, where_, problem);
    if (v < 0) return lost_if_closed(), false;
    if (v == 0) {
      problem = where_ + ": в базе нет журнала MAC-адресов; создайте его: veskorctl ledger --init";
      return false;
    }
    if (v > LEDGER_SCHEMA_VERSION) {
      problem = newer_text(where_, v);
      return false;
    }
    if (v < LEDGER_SCHEMA_VERSION) {
      problem = where_ + ": журнал в базе старой версии " + std::to_string(v) + "; обновите его: veskorctl ledger --init";
      return false;
    }
    pg::result r = conn_.exec(
        "SELECT has_table_privilege('veskor.mac_step', 'INSERT') AND has_table_privilege('veskor.mac_step', 'UPDATE')"
        " AND has_table_privilege('veskor.burn', 'INSERT') AND has_table_privilege('veskor.burn', 'UPDATE')"
        " AND has_table_privilege('veskor.series', 'UPDATE')");
    if (failed(r, where_, problem)) return lost_if_closed(), false;
    if (r.text(0, 0) != "t") {
      problem = where_ + ": нет прав на запись в журнал MAC-адресов";
      return false;
    }
    return replay(problem);
  }

  record_end reserve_next(ledger_line& record, bool& exhausted, std::string& problem) override {
    exhausted = false;
    std::lock_guard<std::mutex> g(m_);
    if (!connect(problem)) return RECORD_AWAY;
    prepare(record);
    record_end end;
    if (resolve_doubt(record, end, problem)) return end;
    // A competitor may take the same address between our look and our
    // insert (another bench of the line outside this bench's block): the
    // unique index refuses the second, which then looks again.
    for (int attempt = 0;; attempt++) {
      bool taken = false, existing = false;
      end = try_reserve_next(record, exhausted, taken, existing, problem);
      if (existing) return take_existing(record, problem);
      if (!taken || attempt == 20) return end;
    }
  }

  record_end reserve_typed(ledger_line& record, std::string& problem) override {
    std::lock_guard<std::mutex> g(m_);
    unsigned char mac[6];
    if (!parse_mac(record.new_mac.c_str(), mac)) {
      problem = "Неверный MAC-адрес: " + record.new_mac;
      return RECORD_FAILED;
    }
    if (!connect(problem)) return RECORD_AWAY;
    prepare(record);
    record_end end;
    if (resolve_doubt(record, end, problem)) return end;
    std::string time = ledger_time();
    pg::result r = insert_reserved(record, mac_number(mac), time);
    if (r.lost()) return in_doubt(record.id, r, problem);
    if (!r.ok() && r.sqlstate() == "23505") {
      std::string held;
      pg::result h = conn_.exec(
          "SELECT bench, time FROM veskor.mac_step WHERE mac = $1::bigint AND state <> 'failed' AND NOT imported_twice",
          {mac_number(mac)});
      if (h.rows() > 0) held = ": стенд " + cp(h.text(0, 0)) + ", " + cp(h.text(0, 1));
      if (h.lost()) lost_if_closed();
      problem = "Адрес " + format_mac(mac) + " уже выдан другому устройству (журнал MAC-адресов" + held + ")";
      return RECORD_FAILED;
    }
    if (failed(r, where_, problem)) return RECORD_FAILED;
    if (r.affected() == 0) return take_existing(record, problem);
    record.new_mac = format_mac(mac);
    record.result = LEDGER_RESERVED;
    record.time = time;
    return RECORD_DONE;
  }

  record_end settle(const ledger_line& record, std::string& problem) override {
    // Checked here, not when the spool is written back: a line the database
    // refuses would hold up every line behind it.
    unsigned char mac[6];
    if (!parse_mac(record.new_mac.c_str(), mac)) {
      problem = "Неверный MAC-адрес: " + record.new_mac;
      return RECORD_FAILED;
    }
    ledger_line l = record;
    l.kind = RECORD_MAC;
    if (l.time.empty()) l.time = ledger_time();
    if (l.bench.empty()) l.bench = bench_;
    if (l.operator_name.empty()) l.operator_name = operator_;
    return write_or_spool(l, problem);
  }

  record_end burn(const ledger_line& record, std::string& problem) override {
    ledger_line l = record;
    l.kind = RECORD_BURN;
    if (l.time.empty()) l.time = ledger_time();
    if (l.bench.empty()) l.bench = bench_;
    if (l.operator_name.empty()) l.operator_name = operator_;
    return write_or_spool(l, problem);
  }

  bool given_elsewhere(const unsigned char mac[6], const std::string& current_mac, std::string& where_text) override {
    unsigned char cur[6];
    if (parse_mac(current_mac.c_str(), cur) && mac_number(cur) == mac_number(mac)) return false;
    std::lock_guard<std::mutex> g(m_);
    std::string problem;
    if (!connect(problem)) return false;
    pg::result r = conn_.exec(
        "SELECT bench, time FROM veskor.mac_step WHERE mac = $1::bigint AND state <> 'failed' ORDER BY at DESC LIMIT 1",
        {mac_number(mac)});
    if (r.lost()) lost_if_closed();
    if (r.rows() == 0) return false;
    where_text = "стенд " + cp(r.text(0, 0)) + ", " + cp(r.text(0, 1));
    return true;
  }

  bool finished_with(const std::string& sha256, std::vector<std::string>& macs, std::string& problem) override {
    std::lock_guard<std::mutex> g(m_);
    if (!connect(problem)) return false;
    pg::result r = conn_.exec(
        "SELECT mac FROM (SELECT DISTINCT ON (mac) mac, sha256 FROM veskor.mac_step"
        " WHERE state <> 'failed' ORDER BY mac, at DESC, settled_at DESC NULLS LAST) last_steps"
        " WHERE sha256 = $1 ORDER BY mac",
        {sha256});
    if (failed(r, where_, problem)) return lost_if_closed(), false;
    macs.clear();
    for (int i = 0; i < r.rows(); i++) macs.push_back(mac_text(r.number(i, 0)));
    return true;
  }

  bool series(series_state& state, std::string& problem) override {
    std::lock_guard<std::mutex> g(m_);
    if (!connect(problem)) return false;
    state = series_state();
    pg::result b = conn_.exec("SELECT first, last FROM veskor.block WHERE bench = $1", {u8(bench_)});
    if (failed(b, where_, problem)) return lost_if_closed(), false;
    long long first, last;
    if (b.rows() > 0) {
      state.has_block = true;
      first = b.number(0, 0), last = b.number(0, 1);
      number_mac(first, state.block.first);
      number_mac(last, state.block.last);
    } else {
      pg::result s = conn_.exec("SELECT first, last FROM veskor.series");
      if (failed(s, where_, problem)) return lost_if_closed(), false;
      first = s.number(0, 0), last = s.number(0, 1);
    }
    pg::result h = conn_.exec(HELD_IN_RANGE, {first, last});
    if (failed(h, where_, problem)) return lost_if_closed(), false;
    unsigned char last_mac[6];
    number_mac(last, last_mac);
    if (!h.is_null(0, 0)) {
      state.has_last = true;
      number_mac(h.number(0, 0), state.last);
      if (h.number(0, 0) >= last) return true;
      std::copy(state.last, state.last + 6, state.next);
      mac_series_advance(state.next);
    } else {
      number_mac(first, state.next);
    }
    state.has_next = true;
    state.left = mac_series_index(last_mac) - mac_series_index(state.next) + 1;
    return true;
  }

  bool set_block(const mac_block& block, std::string& problem) override {
    if (!mac_block_valid(block)) {
      problem = "Неверный блок адресов: " + format_mac_block(block);
      return false;
    }
    std::lock_guard<std::mutex> g(m_);
    if (!connect(problem)) return false;
    pg::transaction t(conn_);
    if (failed(t.begun(), where_, problem)) return lost_if_closed(), false;
    // Blocks are compared and written under the schema's lock, so two benches
    // setting overlapping blocks at once cannot both succeed.
    pg::result r = conn_.exec(SCHEMA_LOCK);
    if (failed(r, where_, problem)) return lost_if_closed(), false;
    r = conn_.exec(
        "SELECT bench, first, last FROM veskor.block WHERE bench <> $1 AND first <= $3::bigint AND last >= $2::bigint"
        " ORDER BY first LIMIT 1",
        {u8(bench_), mac_number(block.first), mac_number(block.last)});
    if (failed(r, where_, problem)) return lost_if_closed(), false;
    if (r.rows() > 0) {
      mac_block other;
      number_mac(r.number(0, 1), other.first);
      number_mac(r.number(0, 2), other.last);
      problem = "Блок " + format_mac_block(block) + " пересекается с блоком стенда " + cp(r.text(0, 0)) + " (" +
                format_mac_block(other) + ")";
      return false;
    }
    r = conn_.exec(
        "INSERT INTO veskor.block (bench, first, last) VALUES ($1, $2::bigint, $3::bigint)"
        " ON CONFLICT (bench) DO UPDATE SET first = EXCLUDED.first, last = EXCLUDED.last",
        {u8(bench_), mac_number(block.first), mac_number(block.last)});
    if (failed(r, where_, problem)) return lost_if_closed(), false;
    r = t.commit();
    if (failed(r, where_, problem)) return lost_if_closed(), false;
    return true;
  }

  bool trace(const trace_query& q, std::vector<trace_entry>& out, std::string& problem) override {
    std::lock_guard<std::mutex> g(m_);
    if (!connect(problem)) return false;
    std::string sql;
    std::vector<pg::value> params;
    std::string steps = std::string("SELECT ") + STEP_COLUMNS + ", NULL::bigint FROM veskor.mac_step";
    std::string burns = std::string("SELECT ") + BURN_COLUMNS;
    if (q.by == trace_query::BY_MAC) {
      // The board's whole line of work: what came before the address was
      // given (the burn) shares the line of the step that gave it.
      const char* lines = "left(id, 32) IN (SELECT left(id, 32) FROM veskor.mac_step WHERE mac = $1::bigint)";
      sql = steps + " WHERE mac = $1::bigint OR from_mac = $1::bigint OR " + lines + " UNION ALL " + burns +
            ", NULL::bigint FROM veskor.burn WHERE mac = $1::bigint OR " + lines;
      params = {mac_number(q.mac)};
    } else if (q.by == trace_query::BY_FIRMWARE) {
      sql = burns +
            ", (SELECT s.mac FROM veskor.mac_step s WHERE left(s.id, 32) = left(b.id, 32) AND s.state = 'confirmed'"
            " ORDER BY s.at DESC, s.settled_at DESC NULLS LAST LIMIT 1) FROM veskor.burn b WHERE sha256 = $1";
      params = {q.sha256};
    } else {
      const char* when =
          " WHERE at BETWEEN to_timestamp($1::bigint) AND to_timestamp($2::bigint) AND ($3 = '' OR bench = $3)";
      sql = steps + when + " UNION ALL " + burns + ", NULL::bigint FROM veskor.burn" + when;
      // to_timestamp takes some 290 000 years either way.
      const long long far = 100000000000LL;
      params = {std::max(q.since, -far), std::min(q.until, far), u8(q.bench)};
    }
    sql += " ORDER BY 4, 3, 2";
    pg::result r = conn_.exec(sql, params);
    if (failed(r, where_, problem)) return lost_if_closed(), false;
    out.clear();
    for (int i = 0; i < r.rows(); i++) {
      trace_entry e = entry_of(r, i);
      if (q.by == trace_query::BY_FIRMWARE) e.mac_now = r.is_null(i, 16) ? e.record.old_mac : mac_text(r.number(i, 16));
      out.push_back(e);
    }
    return true;
  }

  bool check(ledger_check& report, std::string& problem) override {
    std::lock_guard<std::mutex> g(m_);
    if (!connect(problem)) return false;
    report = ledger_check();
    pg::result n = conn_.exec(
        "SELECT (SELECT count(*) FROM veskor.mac_step) + (SELECT count(*) FROM veskor.burn),"
        " (SELECT count(DISTINCT mac) FROM veskor.mac_step WHERE state = 'confirmed')");
    if (failed(n, where_, problem)) return lost_if_closed(), false;
    pg::result u = conn_.exec(
        "SELECT mac, bench, time, address FROM veskor.mac_step WHERE state = 'reserved' ORDER BY at, id");
    if (failed(u, where_, problem)) return lost_if_closed(), false;
    for (int i = 0; i < u.rows(); i++)
      report.warnings.push_back(mac_text(u.number(i, 0)) + " зарезервирован (стенд " + cp(u.text(i, 1)) + ", " +
                                cp(u.text(i, 2)) + ", " + cp(u.text(i, 3)) +
                                "), но итог не записан: устройство могло его получить");
    pg::result c = conn_.exec(
        "SELECT mac, bench, time, coalesce(source, '') FROM veskor.mac_step WHERE state = 'confirmed' AND mac IN"
        " (SELECT mac FROM veskor.mac_step WHERE state = 'confirmed' GROUP BY mac HAVING count(*) > 1)"
        " ORDER BY mac, at, id");
    if (failed(c, where_, problem)) return lost_if_closed(), false;
    int twice = 0;
    for (int i = 0; i < c.rows();) {
      long long mac = c.number(i, 0);
      std::set<std::string> benches;
      std::string at;
      for (; i < c.rows() && c.number(i, 0) == mac; i++) {
        benches.insert(c.text(i, 1));
        std::string source = cp(c.text(i, 3));
        at += (at.empty() ? "" : ", ") + (source.empty() ? "стенд " + cp(c.text(i, 1)) + " " + cp(c.text(i, 2)) : source);
      }
      twice++;
      report.errors.push_back(mac_text(mac) +
                              (benches.size() > 1 ? " подтверждён на разных стендах: " : " подтверждён больше одного раза: ") +
                              at);
    }
    pg::result o = conn_.exec(
        "SELECT a.bench, a.first, a.last, b.bench, b.first, b.last FROM veskor.block a JOIN veskor.block b"
        " ON a.bench < b.bench AND a.first <= b.last AND b.first <= a.last ORDER BY a.first, b.first");
    if (failed(o, where_, problem)) return lost_if_closed(), false;
    for (int i = 0; i < o.rows(); i++) {
      mac_block a, b;
      number_mac(o.number(i, 1), a.first);
      number_mac(o.number(i, 2), a.last);
      number_mac(o.number(i, 4), b.first);
      number_mac(o.number(i, 5), b.last);
      report.errors.push_back("блоки стендов " + cp(o.text(i, 0)) + " (" + format_mac_block(a) + ") и " +
                              cp(o.text(i, 3)) + " (" + format_mac_block(b) + ") пересекаются");
    }
    report.summary = "строк: " + n.text(0, 0) + ", подтверждённых адресов: " + n.text(0, 1) +
                     ", подтверждённых дважды: " + std::to_string(twice);
    return true;
  }

 private:
  // Under m_: a connection, made when there is none and the last attempt
  // is a second old; a new connection first writes what the spool holds.
  bool connect(std::string& problem) {
    if (conn_.is_open()) return true;
    auto now = std::chrono::steady_clock::now();
    if (refused_ && now - last_attempt_ < std::chrono::seconds(1)) {
      problem = away_;
      return false;
    }
    last_attempt_ = now;
    std::string error;
    if (!conn_.open(conninfo_of(uri_), "veskor", error)) {
      refused_ = true;
      away_ = problem = unreachable_text(where_, error);
      return false;
    }
    refused_ = false;
    std::string ignored;
    replay(ignored);
    if (!conn_.is_open()) {
      problem = away_;
      return false;
    }
    return true;
  }

  // After a statement that failed: a connection that went away is closed,
  // so that the next call makes a new one.
  void lost_if_closed() {
    if (!conn_.is_open()) {
      away_ = unreachable_text(where_, "server closed the connection");
      conn_.close();
    }
  }

  void prepare(ledger_line& record) {
    record.kind = RECORD_MAC;
    if (record.id.empty()) record.id = record_id();
    if (record.bench.empty()) record.bench = bench_;
    if (record.operator_name.empty()) record.operator_name = operator_;
  }

  record_end in_doubt(const std::string& id, const pg::result& r, std::string& problem) {
    doubt_.insert(id);
    conn_.close();
    problem = unreachable_text(where_, r.error());
    return RECORD_AWAY;
  }

  // A reservation whose commit was never answered: the row by its id is
  // what happened. True (with end) when that settles the call.
  bool resolve_doubt(ledger_line& record, record_end& end, std::string& problem) {
    if (!doubt_.count(record.id)) return false;
    pg::result r = conn_.exec("SELECT 1 FROM veskor.mac_step WHERE id = $1", {u8(record.id)});
    if (r.lost()) {
      conn_.close();
      problem = unreachable_text(where_, r.error());
      end = RECORD_AWAY;
      return true;
    }
    if (failed(r, where_, problem)) {
      end = RECORD_FAILED;
      return true;
    }
    doubt_.erase(record.id);
    if (r.rows() == 0) return false;
    end = take_existing(record, problem);
    return true;
  }

  // The reservation the database holds under record.id, as the call's answer.
  record_end take_existing(ledger_line& record, std::string& problem) {
    pg::result r = conn_.exec("SELECT mac, time, state FROM veskor.mac_step WHERE id = $1", {u8(record.id)});
    if (r.lost()) return in_doubt(record.id, r, problem);
    if (failed(r, where_, problem)) return RECORD_FAILED;
    if (r.rows() == 0) {
      problem = where_ + ": запись " + record.id + " не найдена";
      return RECORD_FAILED;
    }
    record.new_mac = mac_text(r.number(0, 0));
    record.time = cp(r.text(0, 1));
    record.result = r.text(0, 2);
    return RECORD_DONE;
  }

  // at is the bench's own time, as for every record, so that a trace by
  // period and the time shown beside it never disagree.
  pg::result insert_reserved(const ledger_line& record, long long mac, const std::string& time) {
    return conn_.exec(
        "INSERT INTO veskor.mac_step (id, mac, state, bench, operator, address, name, old_mac, from_mac,"
        " firmware, sha256, time, at)"
        " VALUES ($1, $2::bigint, 'reserved', $3, $4, $5, $6, $7, $8::bigint, $9, $10, $11,"
        " coalesce(to_timestamp($12::bigint), now()))"
        " ON CONFLICT (id) DO NOTHING",
        {u8(record.id), mac, u8(record.bench), u8(record.operator_name), u8(record.address), u8(record.name),
         u8(record.old_mac), mac_param(record.old_mac), u8(record.firmware), record.sha256, u8(time),
         at_param(time)});
  }

  record_end try_reserve_next(ledger_line& record, bool& exhausted, bool& taken, bool& existing, std::string& problem) {
    std::string time = ledger_time();
    pg::transaction t(conn_);
    const pg::result* r = &t.begun();
    pg::result b, s, h, ins;
    if (r->ok()) {
      // The bench's block row, or the series row, is the turnstile: one
      // reservation of a range at a time.
      b = conn_.exec("SELECT first, last FROM veskor.block WHERE bench = $1 FOR UPDATE", {u8(record.bench)});
      r = &b;
    }
    if (r->ok() && b.rows() == 0) {
      s = conn_.exec("SELECT first, last FROM veskor.series FOR UPDATE");
      r = &s;
    }
    if (!r->ok()) {
      if (r->lost()) return conn_.close(), problem = unreachable_text(where_, r->error()), RECORD_AWAY;
      failed(*r, where_, problem);
      return RECORD_FAILED;
    }
    const pg::result& range = b.rows() > 0 ? b : s;
    if (range.rows() == 0) {
      problem = where_ + ": в журнале нет серии адресов; создайте его: veskorctl ledger --init";
      return RECORD_FAILED;
    }
    long long first = range.number(0, 0), last = range.number(0, 1);
    h = conn_.exec(HELD_IN_RANGE, {first, last});
    if (h.lost()) return conn_.close(), problem = unreachable_text(where_, h.error()), RECORD_AWAY;
    if (failed(h, where_, problem)) return RECORD_FAILED;
    unsigned char mac[6];
    if (h.is_null(0, 0)) {
      number_mac(first, mac);
    } else if (h.number(0, 0) >= last) {
      exhausted = true;
      problem = "Серия исчерпана: последний адрес блока " + mac_text(last) + " выдан.";
      return RECORD_FAILED;
    } else {
      number_mac(h.number(0, 0), mac);
      mac_series_advance(mac);
    }
    ins = insert_reserved(record, mac_number(mac), time);
    if (ins.lost()) return conn_.close(), problem = unreachable_text(where_, ins.error()), RECORD_AWAY;
    if (!ins.ok() && ins.sqlstate() == "23505") {
      taken = true;
      problem = "Адрес " + format_mac(mac) + " уже выдан другому устройству";
      return RECORD_FAILED;
    }
    if (failed(ins, where_, problem)) return RECORD_FAILED;
    if (ins.affected() == 0) {
      // The id is in the database already: this call is a retry of one
      // whose answer was lost. The caller reads it once this transaction
      // is rolled back.
      existing = true;
      return RECORD_DONE;
    }
    hook("before commit");
    pg::result c = t.commit();
    if (c.lost() || (c.ok() && !hook("after commit"))) return in_doubt(record.id, c, problem);
    if (failed(c, where_, problem)) return RECORD_FAILED;
    record.new_mac = format_mac(mac);
    record.result = LEDGER_RESERVED;
    record.time = time;
    return RECORD_DONE;
  }

  // A settle or a burn: into the database, else into the spool.
  record_end write_or_spool(const ledger_line& l, std::string& problem) {
    std::lock_guard<std::mutex> g(m_);
    if (connect(problem)) {
      pg::result r = l.is_burn() ? upsert_burn(conn_, l) : write_step(l);
      if (r.ok()) return RECORD_DONE;
      if (!r.lost()) {
        failed(r, where_, problem);
        return RECORD_FAILED;
      }
      conn_.close();
      away_ = unreachable_text(where_, r.error());
    }
    if (spool_.empty()) {
      problem = where_ + ": негде сохранить запись до возвращения базы (нет домашней папки)";
      return RECORD_FAILED;
    }
    plat::durable_file lock;
    if (!lock_spool(lock, problem)) return RECORD_FAILED;
    std::string error;
    if (!ledger_append(spool_, l, error)) {
      problem = error;
      return RECORD_FAILED;
    }
    return RECORD_DONE;
  }

  pg::result write_step(const ledger_line& l) {
    unsigned char mac[6];
    if (!parse_mac(l.new_mac.c_str(), mac)) return pg::result(nullptr, false, "bad MAC " + u8(l.new_mac));
    return upsert_step(conn_, l, mac_number(mac));
  }

  bool lock_spool(plat::durable_file& lock, std::string& problem) {
    std::string folder = plat::folder_of(spool_);
    int err = 0;
    if (!plat::make_folders(folder, 0700, &err) ||
        !lock.open(spool_lock_, plat::FILE_WRITE | plat::FILE_CREATE | plat::FILE_LOCK_EXCLUSIVE)) {
      std::string shown;
      if (!plat::path_from_fs(spool_lock_.c_str(), shown)) shown = "?";
      int code = err ? err : lock.error();
      problem = "Не удалось открыть " + shown + ": " + (code > 0 ? cp(std::strerror(code)) : std::to_string(code));
      return false;
    }
    return true;
  }

  // Under m_ and connected: everything the spool holds into the database in
  // one transaction; the spool goes only once that is committed, and under
  // its lock, so a line written meanwhile is never lost.
  bool replay(std::string& problem) {
    struct stat st;
    if (spool_.empty() || ::stat(spool_.c_str(), &st) != 0) return true;
    plat::durable_file lock;
    if (!lock_spool(lock, problem)) return false;
    std::vector<ledger_line> lines;
    if (!ledger_read(spool_, lines, problem)) return false;
    if (!lines.empty()) {
      pg::transaction t(conn_);
      if (failed(t.begun(), where_, problem)) return lost_if_closed(), false;
      for (const ledger_line& l : lines) {
        pg::result r = l.is_burn() ? upsert_burn(conn_, l) : write_step(l);
        if (failed(r, where_, problem)) return lost_if_closed(), false;
      }
      pg::result c = t.commit();
      if (failed(c, where_, problem)) return lost_if_closed(), false;
    }
    if (::unlink(spool_.c_str()) == 0) plat::sync_folder(plat::folder_of(spool_));
    return true;
  }

  // Under live_m_.
  void start_publisher() {
    if (!publisher_.joinable() && !live_stop_) publisher_ = std::thread([this] { publish_loop(); });
  }

  // Writes the latest states and notifies the line, on a connection of its
  // own, so that a board thread never waits for the server; a server away
  // costs the states of that moment, nothing else.
  void publish_loop() {
    pg::connection c;
    auto tried = std::chrono::steady_clock::time_point();
    std::unique_lock<std::mutex> l(live_m_);
    for (;;) {
      live_cv_.wait_for(l, std::chrono::seconds(1),
                        [&] { return live_stop_ || !pending_boards_.empty() || bench_pending_; });
      std::map<std::string, live_board> boards;
      boards.swap(pending_boards_);
      bool bench = bench_pending_;
      std::string state = pending_bench_;
      bench_pending_ = false;
      bool stop = live_stop_;
      if (boards.empty() && !bench) {
        if (stop) return;
        continue;
      }
      l.unlock();
      auto now = std::chrono::steady_clock::now();
      if (!c.is_open() && now - tried >= std::chrono::seconds(1)) {
        tried = now;
        std::string error;
        if (!c.open(conninfo_of(uri_), "veskor-live", error)) c.close();
      }
      if (c.is_open()) {
        for (auto& b : boards) write_board(c, b.second);
        if (bench) write_bench(c, state);
        if (!c.is_open()) c.close();
      }
      l.lock();
      if (stop && pending_boards_.empty() && !bench_pending_) return;
    }
  }

  void write_board(pg::connection& c, const live_board& b) {
    // The shape of veskorctl's JSON events, with the bench: a page follows
    // the line's boards as it follows one process's.
    bool ended = b.stage == "done" || b.stage == "failed" || b.stage == "skipped" || b.stage == "gone";
    std::string note = "{\"kind\":\"board\",\"bench\":" + json_u8(b.bench) + ",\"board\":" + json_u8(b.address) +
                       ",\"name\":" + json_u8(b.name) + ",\"stage\":" + json_u8(b.stage) +
                       ",\"page\":" + std::to_string(b.page) + ",\"total\":" + std::to_string(b.total) +
                       ",\"since\":" + std::to_string(b.since) + ",\"at\":" + std::to_string(b.said_ms) +
                       (ended ? ",\"result\":" + json_u8(b.stage) : "") + "}";
    c.exec("WITH u AS (INSERT INTO veskor.board_live (bench, address, name, stage, page, total, since, updated_at)"
           " VALUES ($1, $2, $3, $4, $5::integer, $6::integer, to_timestamp($7::bigint), now())"
           " ON CONFLICT (bench, address) DO UPDATE SET name = EXCLUDED.name, stage = EXCLUDED.stage,"
           " page = EXCLUDED.page, total = EXCLUDED.total, since = EXCLUDED.since, updated_at = now() RETURNING 1)"
           " SELECT pg_notify('veskor_line', $8) FROM u",
           {u8(b.bench), u8(b.address), u8(b.name), u8(b.stage), b.page, b.total, b.since, note});
  }

  void write_bench(pg::connection& c, const std::string& state) {
    std::string note = "{\"kind\":\"bench\",\"bench\":" + json_u8(bench_) + ",\"state\":" + json_u8(state) + "}";
    c.exec("WITH u AS (INSERT INTO veskor.bench_live (bench, state, seen_at) VALUES ($1, $2, now())"
           " ON CONFLICT (bench) DO UPDATE SET state = EXCLUDED.state, seen_at = now() RETURNING 1)"
           " SELECT pg_notify('veskor_line', $3) FROM u",
           {u8(bench_), u8(state), note});
  }

  // A cp1251 text as a JSON string in UTF-8.
  static std::string json_u8(const std::string& cp1251) {
    std::string u = u8(cp1251), out = "\"";
    for (unsigned char ch : u) {
      if (ch == '"' || ch == '\\') {
        out += '\\';
        out += (char)ch;
      } else if (ch < 0x20) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", ch);
        out += buf;
      } else {
        out += (char)ch;
      }
    }
    return out + "\"";
  }

  const std::string uri_, where_, bench_, operator_;
  std::string spool_, spool_lock_;
  std::mutex live_m_;
  std::condition_variable live_cv_;
  std::map<std::string, live_board> pending_boards_;
  std::string pending_bench_;
  bool bench_pending_ = false, live_stop_ = false;
  std::thread publisher_;
  std::mutex listen_m_;
  pg::connection listener_;
  std::chrono::steady_clock::time_point listen_tried_;
  std::mutex m_;
  pg::connection conn_;
  bool refused_ = false;
  std::chrono::steady_clock::time_point last_attempt_;
  std::string away_;
  std::set<std::string> doubt_;
};

}  // namespace

void set_ledger_db_hook(ledger_db_hook h) { test_hook = h; }

std::unique_ptr<mac_ledger> open_database_ledger(const std::string& uri, const std::string& bench,
                                                 const std::string& operator_name) {
  return std::unique_ptr<mac_ledger>(new database_ledger(uri, bench, operator_name));
}

bool database_init(const std::string& uri, std::string& said, std::string& problem) {
  std::string where = shown_location(uri);
  pg::connection c;
  if (!open_connection(uri, c, problem)) return false;
  pg::transaction t(c);
  if (failed(t.begun(), where, problem)) return false;
  if (failed(c.exec(SCHEMA_LOCK), where, problem)) return false;
  int v = schema_version(c, where, problem);
  if (v < 0) return false;
  if (v > LEDGER_SCHEMA_VERSION) {
    problem = newer_text(where, v);
    return false;
  }
  if (v == LEDGER_SCHEMA_VERSION) {
    said = "журнал уже есть (версия " + std::to_string(v) + ")";
    return true;
  }
  for (int step = v; step < LEDGER_SCHEMA_VERSION; step++)
    for (const char* sql : SCHEMA_STEPS[step])
      if (failed(c.exec(sql), where, problem)) return false;
  pg::result r = v == 0 ? c.exec("INSERT INTO veskor.version (version) VALUES ($1::integer)", {LEDGER_SCHEMA_VERSION})
                        : c.exec("UPDATE veskor.version SET version = $1::integer", {LEDGER_SCHEMA_VERSION});
  if (failed(r, where, problem)) return false;
  if (failed(t.commit(), where, problem)) return false;
  said = v == 0 ? "журнал MAC-адресов создан (версия " + std::to_string(LEDGER_SCHEMA_VERSION) + ")"
                : "журнал MAC-адресов обновлён с версии " + std::to_string(v) + " до версии " +
                      std::to_string(LEDGER_SCHEMA_VERSION);
  return true;
}

namespace {

// One MAC step of an imported file: its first line and the line that
// settled it, when there is one.
struct imported_step {
  ledger_line begin, end;
  bool settled = false;
  std::string id;
};

std::string csv_id(const ledger_line& l) {
  std::string key = l.time + '\x1f' + l.address + '\x1f' + l.new_mac + '\x1f' + l.name;
  return "csv:" + sha256_hex(key.data(), key.size());
}

}  // namespace

bool database_import(const std::string& uri, const std::string& label, const std::vector<ledger_line>& lines,
                     import_report& report, std::string& problem) {
  report = import_report();
  std::string where = shown_location(uri);
  // Fold first: a reserved line and the line that settled it are one step.
  std::vector<imported_step> steps;
  std::vector<ledger_line> burns;
  std::map<std::string, size_t> by_id, open_by_mac;
  for (const ledger_line& raw : lines) {
    ledger_line l = raw;
    if (l.bench.empty()) l.bench = label;
    if (l.is_burn()) {
      if (l.id.empty()) l.id = csv_id(l);
      burns.push_back(l);
      continue;
    }
    unsigned char m[6];
    if (!parse_mac(l.new_mac.c_str(), m)) continue;
    std::string mac = format_mac(m);
    // The step this line settles, or the same reservation written again.
    const size_t none = (size_t)-1;
    size_t into = none;
    if (!l.id.empty()) {
      auto f = by_id.find(l.id);
      if (f != by_id.end()) into = f->second;
    } else if (l.result != LEDGER_RESERVED) {
      auto f = open_by_mac.find(mac);
      if (f != open_by_mac.end()) {
        into = f->second;
        open_by_mac.erase(f);
      }
    }
    if (into != none) {
      if (l.result != LEDGER_RESERVED) {
        steps[into].end = l;
        steps[into].settled = true;
      }
      continue;
    }
    imported_step s;
    s.begin = l;
    s.id = l.id.empty() ? csv_id(l) : l.id;
    steps.push_back(s);
    if (!l.id.empty()) by_id[l.id] = steps.size() - 1;
    else if (l.result == LEDGER_RESERVED) open_by_mac[mac] = steps.size() - 1;
  }

  pg::connection c;
  if (!open_connection(uri, c, problem)) return false;
  pg::transaction t(c);
  if (failed(t.begun(), where, problem)) return false;
  if (failed(c.exec(SCHEMA_LOCK), where, problem)) return false;
  for (const imported_step& s : steps) {
    const ledger_line& l = s.settled ? s.end : s.begin;
    unsigned char m[6];
    parse_mac(s.begin.new_mac.c_str(), m);
    long long mac = mac_number(m);
    int line = l.line;
    std::string source = label + " строка " + std::to_string(line);
    // Held live for another board: the row goes in flagged, beside it, and
    // two confirmations are what the report names.
    std::string held;
    bool both_confirmed = false;
    if (l.result != LEDGER_FAILED) {
      pg::result h = c.exec(
          "SELECT bench, time, coalesce(source, ''), state FROM veskor.mac_step"
          " WHERE mac = $1::bigint AND state <> 'failed' AND NOT imported_twice AND id <> $2",
          {mac, u8(s.id)});
      if (failed(h, where, problem)) return false;
      if (h.rows() > 0) {
        held = h.text(0, 2).empty() ? "стенд " + cp(h.text(0, 0)) + ", " + cp(h.text(0, 1)) : cp(h.text(0, 2));
        both_confirmed = l.result == LEDGER_CONFIRMED && h.text(0, 3) == LEDGER_CONFIRMED;
      }
    }
    pg::result r = c.exec(
        "INSERT INTO veskor.mac_step (id, mac, state, bench, operator, address, name, old_mac, from_mac,"
        " firmware, sha256, time, at, settled_time, settled_at, imported_twice, source)"
        " VALUES ($1, $2::bigint, $3, $4, $5, $6, $7, $8, $9::bigint, $10, $11, $12,"
        " coalesce(to_timestamp($13::bigint), now()), $14, to_timestamp($15::bigint), $16::boolean, $17)"
        " ON CONFLICT (id) DO NOTHING",
        {u8(s.id), mac, l.result, u8(s.begin.bench), u8(s.begin.operator_name), u8(s.begin.address),
         u8(s.begin.name), u8(s.begin.old_mac), mac_param(s.begin.old_mac), u8(s.begin.firmware), s.begin.sha256,
         u8(s.begin.time), at_param(s.begin.time), s.settled ? pg::value(u8(s.end.time)) : pg::value::none(),
         s.settled ? at_param(s.end.time) : pg::value::none(), held.empty() ? "false" : "true", u8(source)});
    if (failed(r, where, problem)) return false;
    if (r.affected() == 0) {
      report.present++;
      continue;
    }
    report.added++;
    if (both_confirmed) report.confirmed_twice.push_back(format_mac(m) + ": " + source + ", " + held);
  }
  // A burn's begin and end in the order the file has them: the end wins.
  std::set<std::string> seen;
  for (const ledger_line& l : burns) {
    if (seen.insert(l.id).second) {
      pg::result r = c.exec("SELECT 1 FROM veskor.burn WHERE id = $1", {u8(l.id)});
      if (failed(r, where, problem)) return false;
      (r.rows() > 0 ? report.present : report.added)++;
    }
    if (failed(upsert_burn(c, l), where, problem)) return false;
  }
  if (failed(t.commit(), where, problem)) return false;
  return true;
}
