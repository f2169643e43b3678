// veskorctl: the boards of a run as the line view sees them. With a
// database ledger, every stage a board enters and its page progress (at
// most once a second a board) go to the line's live state, and each bench
// says what its run is doing every round; any number of view servers show
// the line from there. The ledger writes on a thread of its own: a board
// never waits for the view.
#include <ctime>

#include "platform/base.h"
#include "tools/veskorctl/ctl.h"

namespace ctl {

namespace {

// How often a board's page progress goes out.
constexpr uint32_t PROGRESS_MS = 1000;

const char* finished_stage(const char* result) { return result ? result : "gone"; }

}  // namespace

void live_sink::on(const board_event& e, const std::vector<board_state>& in_flight) {
  if (!ledger_) return;
  const board_state& b = e.board;
  live_board l;
  l.address = b.address;
  l.name = b.name;
  l.page = b.done;
  l.total = b.total;
  switch (e.kind) {
    case event_kind::joined:
    case event_kind::renamed:
    case event_kind::staged:
      l.stage = stage_key(b.at);
      since_[b.id] = time(nullptr);
      sent_at_[b.id] = plat::tick();
      break;
    case event_kind::paged:
      if (b.done != b.total && plat::tick() - sent_at_[b.id] < PROGRESS_MS) return;
      l.stage = stage_key(b.at);
      sent_at_[b.id] = plat::tick();
      break;
    case event_kind::finished:
    case event_kind::dropped:
      l.stage = finished_stage(e.kind == event_kind::finished ? e.result : nullptr);
      break;
    default: return;
  }
  l.since = since_.count(b.id) ? since_[b.id] : (long long)time(nullptr);
  if (e.kind == event_kind::finished || e.kind == event_kind::dropped) {
    since_.erase(b.id);
    sent_at_.erase(b.id);
  }
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  l.said_ms = (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
  ledger_->publish(l);
  waiting_ledger_ = false;
  for (const board_state& r : in_flight) waiting_ledger_ = waiting_ledger_ || r.at == stage::ledger_wait;
  in_flight_ = in_flight.size();
}

void live_sink::heartbeat(bool stopped) {
  if (!ledger_) return;
  const char* state = stopped ? "stopped" : waiting_ledger_ ? "ledger_wait" : in_flight_ > 0 ? "running" : "waiting";
  ledger_->publish_bench(state);
}

}  // namespace ctl
