// veskorctl: what happens to the boards of a run, as one stream of typed
// events. The board threads and the commands publish into it; the terminal
// (rows redrawn in place, or timestamped lines, or results only), --json and
// the text a second signal leaves behind are its consumers, each a sink of
// its own, so a new way of following the line is one more sink.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "netdvc/session.h"

namespace ctl {

// A board's stages, by the key JSON events carry.
enum class stage { waiting, identify, programming, burn, check, read, mac, ledger_wait, leaving, done };
const char* stage_key(stage s);   // "burn"
const char* stage_text(stage s);  // "прошивка"

// A board as the stream knows it.
struct board_state {
  int id = 0;
  std::string address, name;
  stage at = stage::waiting;
  int done = 0, total = 0, page_size = 0;  // pages of the stage in hand
  uint32_t since = 0;                      // tick the stage began
};

enum class event_kind {
  joined,     // a board entered the run
  renamed,    // its name became known
  staged,     // it entered a stage
  paged,      // a page of its stage was done
  said,       // a message for the user (text)
  exchanged,  // one exchange on the wire (note)
  finished,   // it left with a result (result, text: its line for people, mac, why)
  dropped,    // it left without a result of its own
  summed,     // the end of a run of several boards (done, failed, skipped, ms)
  printed,    // a line of the command's own output (text, UTF-8, to)
};

struct board_event {
  event_kind kind = event_kind::printed;
  board_state board;  // as it stands after the event; empty for summed and printed
  std::string text;
  const char* result = nullptr;  // "done", "failed", "skipped"
  std::string mac, why;
  exchange_note note;
  int done = 0, failed = 0, skipped = 0;
  uint32_t ms = 0;
  FILE* to = stdout;
};

class event_sink {
 public:
  virtual ~event_sink() = default;
  // One event at a time, in the order published, under the stream's lock;
  // in_flight is every board in the run after the event.
  virtual void on(const board_event& e, const std::vector<board_state>& in_flight) = 0;
};

class event_stream {
 public:
  // Sinks are the caller's and live as long as the stream.
  void subscribe(event_sink* sink);
  // After it returns, sink is called no more (a view that ends before the run).
  void unsubscribe(event_sink* sink);

  // A board enters the run; the number names it from now on.
  int add(const std::string& address, const std::string& name);
  void rename(int id, const std::string& name);
  void set_stage(int id, stage s);
  void page(int id, int done, int total, int page_size);
  void message(int id, const std::string& text);
  void exchange(int id, const exchange_note& note);
  // result is "done", "failed" or "skipped"; line the board's permanent
  // line for people, mac the address it got.
  void finish(int id, const char* result, const std::string& line, const std::string& mac, const std::string& why);
  // The board leaves without a result of its own: a look at it (identify)
  // that is a step of something else, or whose answer is the output.
  void drop(int id);
  void summary(int done, int failed, int skipped, uint32_t ms);
  // A line of output (UTF-8) on to, which must not tear the rows.
  void print(FILE* to, const std::string& utf8_line);

 private:
  board_state* find(int id);
  void publish(const board_event& e);
  void leave(int id);

  std::mutex lock_;
  std::vector<board_state> boards_;
  std::vector<event_sink*> sinks_;
  int next_id_ = 1;
};

}  // namespace ctl
