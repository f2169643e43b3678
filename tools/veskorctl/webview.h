// veskorctl: the line view — a read-only web page of the line, with the
// boards in flight of this process (from its event stream) and the figures
// of a period (from the line's record), served by `veskorctl view` and
// beside a batch (`batch --view`).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/veskorctl/events.h"
#include "workflow/record.h"

namespace ctl {

// A board this process finished, as the page lists it.
struct finished_board {
  long long at = 0;  // seconds since the epoch
  board_state board;
  std::string result, mac, why;
};

// The boards in flight and the recent finished ones of this process, and
// every open page's stream of events. on() runs on the board threads under
// the stream's lock: it only formats an event once and queues it for each
// page, never waiting for a page. A page that does not keep up loses its
// queue and is told to read the whole state again ("resync").
class view_sink : public event_sink {
 public:
  // Events a page may have waiting before it is told to resync.
  static constexpr size_t QUEUE_BOUND = 512;
  // Pages that may follow the events at once; more get 503.
  static constexpr int MAX_CLIENTS = 64;
  // Finished boards kept for the page.
  static constexpr size_t RECENT = 50;
  // How long a page's events are gathered before they go out together.
  static constexpr unsigned COALESCE_MS = 100;

  void on(const board_event& e, const std::vector<board_state>& in_flight) override;

  // A new page's stream: its number, or -1 when there are too many.
  int open_client();
  void close_client(int id);
  // What client id has to read (UTF-8 text of the event stream), waiting
  // up to ms for something; false when the stream is to end.
  bool take(int id, uint32_t ms, std::string& out);
  // Every waiting take() returns false, now and from now on.
  void stop();
  // A message (UTF-8, a whole SSE message) for every open page, from
  // another source than this process's boards: the line's database.
  void broadcast(const std::string& utf8_message);
  // Every page reads the whole state again.
  void resync_all();
  // Whether this process's own boards are sent to the pages (not when the
  // line's database sends every bench's, this one's included).
  void own_events(bool send) { own_events_ = send; }

  // Copies, for the page.
  std::vector<board_state> in_flight() const;
  std::vector<finished_board> recent() const;
  // Boards this process skipped (already finished) since at.
  int skipped_since(long long at) const;

 private:
  struct client {
    std::deque<std::shared_ptr<const std::string>> queue;
    bool resync = false;
  };
  void push(const std::string& utf8_message);

  bool own_events_ = true;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  bool stopped_ = false;
  int next_client_ = 1;
  std::map<int, client> clients_;
  std::vector<board_state> flight_;
  std::deque<finished_board> recent_;
  std::deque<long long> skipped_;
  std::map<int, uint32_t> page_at_;
};

// ---- the figures of a period, from the line's record ----------------------------------

// The period's start: "shift" (since the last of 06:00, 14:00, 22:00 local
// time), "1h", "8h", "24h", "7d"; false for anything else.
bool period_start(const std::string& period, long long now, long long& since);


// One board's line of work (line_of(id)): a burn and the MAC steps after it.
struct work_line {
  std::string id, bench, address, name, old_mac, new_mac, firmware, stage;
  std::string result;  // "done", "failed", or "open" while nothing is settled
  int page = -1;
  long long begun = 0, ended = 0;
  int board = -1;       // the physical board it worked (by its MACs)
  bool first = false;   // the board's first settled line of work
};

struct cause_count {
  std::string stage, reason;  // stage key as the record holds it; reason cp1251
  int count = 0;
  std::vector<size_t> latest;  // into period_figures::lines, newest first, at most 3
};

struct bench_figures {
  int done = 0, failed = 0, attempted = 0, first_pass = 0;
};

struct period_figures {
  long long since = 0, until = 0;
  std::vector<work_line> lines;  // settled and open, by end time
  std::map<std::string, bench_figures> benches;
  bench_figures line;
  std::vector<cause_count> causes;  // most frequent first
  std::vector<int> done_per_hour;   // from the hour of since
};

// Folds the records (of since minus a look-back on) into lines of work and
// counts those that ended in [since, until]. A board is attempted in the
// period whose first settled line of work ended in it; it passed first time
// when that line was done.
void figure_period(const std::vector<trace_entry>& records, long long since, long long until, period_figures& f);

// ---- the server -------------------------------------------------------------------------

// "ADDR:PORT" (an IPv4 address; port 0 takes any free one).
bool listen_arg(const std::string& text, std::string& host, int& port);

class web_view {
 public:
  // ledger and events are the caller's and outlive the view; events may be
  // null (no boards of this process). bench names this process's boards.
  web_view(mac_ledger* ledger, const std::string& bench, event_stream* events);
  ~web_view();
  web_view(const web_view&) = delete;
  web_view& operator=(const web_view&) = delete;

  // Listens on host:port and serves on threads of its own; false with
  // problem (cp1251) when the address cannot be had.
  bool start(const std::string& host, int port, std::string& problem);
  int port() const;
  void stop();

  // The bodies of the endpoints (UTF-8), for the server and the tests.
  bool line_json(const std::string& period, std::string& body);
  std::string metrics_text();
  bool trace_json(const std::string& mac, std::string& body, int& status);

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

// The page's files, embedded at build time (page_assets.cpp).
struct page_asset {
  const char* path;  // "/index.html"
  const unsigned char* data;
  size_t size;
};
extern const page_asset PAGE_ASSETS[];
extern const size_t PAGE_ASSET_COUNT;

}  // namespace ctl
