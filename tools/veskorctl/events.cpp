// veskorctl: the stream of a run's board events.
#include "tools/veskorctl/events.h"

#include <algorithm>

#include "platform/base.h"

namespace ctl {

const char* stage_key(stage s) {
  switch (s) {
    case stage::waiting: return "waiting";
    case stage::identify: return "identify";
    case stage::programming: return "programming";
    case stage::burn: return "burn";
    case stage::check: return "verify";
    case stage::read: return "read";
    case stage::mac: return "mac";
    case stage::ledger_wait: return "ledger_wait";
    case stage::leaving: return "leaving";
    case stage::done: return "done";
  }
  return "";
}

const char* stage_text(stage s) {
  switch (s) {
    case stage::waiting: return "ожидание";
    case stage::identify: return "опрос";
    case stage::programming: return "режим программирования";
    case stage::burn: return "прошивка";
    case stage::check: return "сверка";
    case stage::read: return "чтение";
    case stage::mac: return "MAC-адрес";
    case stage::ledger_wait: return "жду журнал";
    case stage::leaving: return "выход из режима";
    case stage::done: return "готово";
  }
  return "";
}

void event_stream::subscribe(event_sink* sink) {
  std::lock_guard<std::mutex> hold(lock_);
  sinks_.push_back(sink);
}

void event_stream::unsubscribe(event_sink* sink) {
  std::lock_guard<std::mutex> hold(lock_);
  sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

board_state* event_stream::find(int id) {
  for (board_state& b : boards_)
    if (b.id == id) return &b;
  return nullptr;
}

void event_stream::publish(const board_event& e) {
  for (event_sink* s : sinks_) s->on(e, boards_);
}

void event_stream::leave(int id) {
  boards_.erase(std::remove_if(boards_.begin(), boards_.end(), [&](const board_state& b) { return b.id == id; }),
                boards_.end());
}

int event_stream::add(const std::string& address, const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  board_event e;
  e.kind = event_kind::joined;
  e.board.id = next_id_++;
  e.board.address = address;
  e.board.name = name;
  boards_.push_back(e.board);
  publish(e);
  return e.board.id;
}

void event_stream::rename(int id, const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  board_state* b = find(id);
  if (!b) return;
  b->name = name;
  board_event e;
  e.kind = event_kind::renamed;
  e.board = *b;
  publish(e);
}

void event_stream::set_stage(int id, stage s) {
  std::lock_guard<std::mutex> hold(lock_);
  board_state* b = find(id);
  if (!b) return;
  b->at = s;
  b->done = b->total = 0;
  b->since = plat::tick();
  board_event e;
  e.kind = event_kind::staged;
  e.board = *b;
  publish(e);
}

void event_stream::page(int id, int done, int total, int page_size) {
  std::lock_guard<std::mutex> hold(lock_);
  board_state* b = find(id);
  if (!b) return;
  b->done = done;
  b->total = total;
  b->page_size = page_size;
  board_event e;
  e.kind = event_kind::paged;
  e.board = *b;
  publish(e);
}

void event_stream::message(int id, const std::string& text) {
  std::lock_guard<std::mutex> hold(lock_);
  board_event e;
  e.kind = event_kind::said;
  if (board_state* b = find(id)) e.board = *b;
  e.text = text;
  publish(e);
}

void event_stream::exchange(int id, const exchange_note& note) {
  std::lock_guard<std::mutex> hold(lock_);
  board_event e;
  e.kind = event_kind::exchanged;
  if (board_state* b = find(id)) e.board = *b;
  e.note = note;
  publish(e);
}

void event_stream::finish(int id, const char* result, const std::string& line, const std::string& mac,
                          const std::string& why) {
  std::lock_guard<std::mutex> hold(lock_);
  board_event e;
  e.kind = event_kind::finished;
  if (board_state* b = find(id)) e.board = *b;
  e.result = result;
  e.text = line;
  e.mac = mac;
  e.why = why;
  leave(id);
  publish(e);
}

void event_stream::drop(int id) {
  std::lock_guard<std::mutex> hold(lock_);
  board_event e;
  e.kind = event_kind::dropped;
  if (board_state* b = find(id)) e.board = *b;
  leave(id);
  publish(e);
}

void event_stream::summary(int done, int failed, int skipped, uint32_t ms) {
  std::lock_guard<std::mutex> hold(lock_);
  board_event e;
  e.kind = event_kind::summed;
  e.done = done;
  e.failed = failed;
  e.skipped = skipped;
  e.ms = ms;
  publish(e);
}

void event_stream::print(FILE* to, const std::string& utf8_line) {
  std::lock_guard<std::mutex> hold(lock_);
  board_event e;
  e.kind = event_kind::printed;
  e.to = to;
  e.text = utf8_line;
  publish(e);
}

}  // namespace ctl
