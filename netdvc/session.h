// A board session: everything the host does with one board's loader, over
// the process's loader link (link.h).
//
// A session holds what belongs to one board and nothing else: its address,
// its password, the page geometry its model burns with (known from the
// answer to the password) and, while it burns, a view of the caller's image.
// It shows nothing: what a user would be told (a refused password, why a
// burn ended, the question about an image larger than the board) goes to its
// observer, and so does the progress of a burn. Sessions of different boards
// run side by side on their own threads; each keeps exactly the pauses,
// receive time-outs and budgets of a board worked alone.
//
// Every operation is one blocking call on the caller's thread; the observer
// is called on that thread too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "netdvc/link.h"
#include "netdvc/records.h"

// How a model's memory is paged. page_count is the index of the last page.
struct page_geometry {
  uint16_t page_size = 512;
  uint16_t page_count = 255;
  int pages() const { return page_count + 1; }
  size_t bytes() const { return (size_t)page_size * (size_t)pages(); }
};
// The geometry of the model that signs its answers with these 8 bytes:
// 256-byte pages for "WIBQE715" (128 of them) and "HYFRO529" (256), 256
// pages of 512 bytes for every other.
page_geometry geometry_of(const char* signature);

// What a board says of itself in its identification answer.
struct board_identity {
  uint32_t addr = 0;
  char name[16] = {};  // as the board sent it, not terminated
  uint8_t rev = 0;
  uint8_t mac[6] = {};
  char model[SIGNATURE_SIZE] = {};
};

// One exchange, for a log of everything said on the wire.
struct exchange_note {
  uint16_t request = 0;   // the request's flag word
  uint32_t page = 0;      // its page, where it has one
  bool sent = false;      // the request left
  int reply_len = -1;     // bytes of the board's answer, -1 for none
  uint16_t reply_flags = 0;
};

// Where a session reports. Every call has a default that does nothing (and
// answers no), so an observer only overrides what it shows.
class board_observer {
 public:
  virtual ~board_observer() = default;
  // A text for the user, cp1251: "Ошибка пароля", why a burn gave up.
  virtual void message(const char*) {}
  // A question for the user (an image larger than the board); true for yes.
  virtual bool confirm(const char*) { return false; }
  // The password was taken: the pages that follow have this geometry.
  virtual void admitted(const page_geometry&) {}
  // A burn's pages: before the first, after each confirmed one, at the end
  // (before any message about why it ended).
  virtual void burn_started(int /*pages*/) {}
  virtual void page_done(int /*done*/, int /*pages*/) {}
  virtual void burn_ended() {}
  // Asked before every page: true ends the burn after the page in hand.
  virtual bool stop_requested() { return false; }
  virtual void exchanged(const exchange_note&) {}
};

// When a burn gives up on a page: after silence_ms without a sign of life
// from the board (an answer of the kind asked for, signed as it signed its
// password answer), stall_ms without a confirmed page, or worn_reads
// complete read-backs of one page that all differ from the image (a cell
// that never takes its byte).
struct burn_bounds {
  uint32_t silence_ms = 10000;
  uint32_t stall_ms = 300000;
  int worn_reads = 20;
};

// What a single page read gave.
enum class page_read { ok, failed, short_answer };

class board_session {
 public:
  // password: its first 16 bytes are sent. observer may be null.
  board_session(loader_link& link, uint32_t addr, const char* password, board_observer* observer = nullptr);
  board_session(const board_session&) = delete;
  board_session& operator=(const board_session&) = delete;

  uint32_t address() const { return addr_; }
  // The geometry of the last admission (the specified one before any).
  const page_geometry& geometry() const { return geometry_; }
  void set_bounds(const burn_bounds& b) { bounds_ = b; }

  // One identify request, then listening until 100 ms pass without a
  // datagram from the board or 2 s after the request: true with the last
  // valid answer in out.
  bool identify(board_identity& out);
  // Identify, password, enter programming mode, repeated within 1 s.
  bool enter_programming();
  // Identify about twice a second until the loader answers, within 30 s.
  bool confirm_found();
  // Leave programming mode, asked again within 8 s.
  bool exit_programming();
  // Identify, password, store the address, repeated within 1 s.
  bool set_mac(const uint8_t mac[6]);

  // Identify and password within 1 s: the password answer's signature gives
  // the geometry of the pages that follow. Every page operation needs it.
  bool admit();
  // Writes every page of the board's geometry from image (size bytes; what
  // lies beyond size is written as erased 0xFF) into main memory or the
  // coprocessor, each read back before the next; asks before cutting an
  // image larger than the board. With only_changed each page is read first
  // and written only when it differs. True when every page was confirmed.
  bool burn(const uint8_t* image, size_t size, bool coprocessor, bool only_changed = false);
  // Reads every page of the board's geometry (main memory or coprocessor)
  // into out (geometry().bytes() bytes), with the progress of a burn and
  // its bounds; nothing is written. Admits first.
  bool read_memory(bool coprocessor, uint8_t* out);
  // One write of a page (geometry().page_size bytes of data) and its answer.
  bool write_page(uint32_t page, bool coprocessor, const uint8_t* data);
  // One read of a page into out (geometry().page_size bytes).
  page_read read_page(uint32_t page, bool coprocessor, uint8_t* out);
  // Reads a page until two reads in a row agree, asking again while the
  // board answers at all, within the burn bounds (silence, stall, worn reads)
  // and until stop_requested; after giving up, failure() says why.
  bool fetch_page(uint32_t page, bool coprocessor, uint8_t* out);
  const std::string& failure() const { return why_; }

 private:
  // One exchange up to the receive: the mailbox cleared, the request sent,
  // the pause slept, one datagram of the board's received within the
  // receive time-out. False when the request did not leave.
  bool ask(const void* rec, int len, unsigned pause_ms, uint16_t request, uint32_t page = 0);
  // After a failed exchange: waits until the board has been quiet for
  // 150 ms (or bound_ms have passed), so that no late answer is read as the
  // answer to the next request.
  void settle(uint32_t bound_ms);
  // Repeats pass until it succeeds or budget_ms have passed since the first
  // send, settling between passes.
  template <class Pass>
  bool budget(unsigned budget_ms, Pass pass);
  bool answered(uint16_t flag) const;
  bool ask_identify(unsigned pause_ms);
  bool ask_password(bool extra_signature);
  // A sign of life is an answer of the kind the request in hand asks for,
  // signed as the board signed its password answer: a write confirmed, a
  // whole page read back. A board that answers only to refuse (another host
  // took it out of programming mode) or only to someone else is not alive
  // for this session, and the silence bound ends it as it would a mute one.
  void alive_if(bool answered_as_asked);
  // Whether the board has been silent, or has confirmed nothing, too long
  // since last_confirmed; why_ then names the page (what is its format).
  bool given_up(uint32_t last_confirmed, const char* what, int page);

  loader_link& link_;
  loader_mailbox box_;
  uint32_t addr_;
  char password_[PASSWORD_SIZE];
  board_observer none_;
  board_observer* observer_;
  page_geometry geometry_;
  burn_bounds bounds_;
  unsigned timeout_ = 100;  // one receive, in ms
  datagram reply_;
  int got_ = -1;       // bytes of the last answer, -1 for none
  bool sent_ = false;  // the last request left: its answer may still come
  bool admitted_ = false;
  char own_[SIGNATURE_SIZE] = {};  // the board's signature, once admitted
  uint32_t heard_ = 0;             // tick of its last sign of life
  uint32_t answered_at_ = 0;       // arrival of the last answer taken, 0 after none
  std::string why_;
};
