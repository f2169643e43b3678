#include "netdvc/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "netdvc/discovery.h"
#include "platform/base.h"

namespace {

// Pauses between a request and the receive of its answer: the requests
// about the board as a whole, the requests about one page (and the MAC).
// The identify request of a listening round and of the loader's
// confirmation waits IDENTIFY_PAUSE_MS (discovery.h).
constexpr unsigned BOARD_PAUSE_MS = 100;
constexpr unsigned PAGE_PAUSE_MS = 10;
// Receive time-outs: every operation's, and the one a board that writes
// pages is given.
constexpr unsigned RECEIVE_MS = 100;
constexpr unsigned PAGE_RECEIVE_MS = 1000;
// Budgets within which an operation repeats its sequence.
constexpr unsigned ADMIT_BUDGET_MS = 1000;
constexpr unsigned CONFIRM_BUDGET_MS = 30000;
constexpr unsigned EXIT_BUDGET_MS = 8000;
// How long the board must be quiet after a failed exchange before the next
// request: longer than any answer of a board that is late but alive. The
// page loop has no budget: a failed page settles within one receive.
constexpr uint32_t QUIET_MS = 150;
// Copies of one answer (a board or a network that sends it twice) arrive
// right behind each other: the next request leaves only this long after
// the answer it follows arrived. A board that answers within the pause of
// its request costs nothing here.
constexpr uint32_t COPY_MS = 5;
constexpr uint32_t PAGE_SETTLE_MS = PAGE_RECEIVE_MS;

void make_request(host_request& r, uint16_t flags) {
  std::memset(&r, 0, sizeof r);
  r.flags = flags;
  std::memcpy(r.signature, LOADER_SIGNATURE, SIGNATURE_SIZE);
}

void make_data(host_data& d, uint16_t flags, uint32_t page) {
  std::memset(&d, 0, sizeof d);
  d.flags = flags;
  std::memcpy(d.signature, LOADER_SIGNATURE, SIGNATURE_SIZE);
  d.page_number = page;
}

}  // namespace

page_geometry geometry_of(const char* signature) {
  page_geometry g;
  if (signature_is(signature, "WIBQE715")) {
    g.page_size = 256;
    g.page_count = 127;
  } else if (signature_is(signature, "HYFRO529")) {
    g.page_size = 256;
    g.page_count = 255;
  }
  return g;
}

board_session::board_session(loader_link& link, uint32_t addr, const char* password, board_observer* observer)
    : link_(link), box_(link, addr), addr_(addr), observer_(observer ? observer : &none_) {
  std::memcpy(password_, password, PASSWORD_SIZE);
}

bool board_session::ask(const void* rec, int len, unsigned pause_ms, uint16_t request, uint32_t page) {
  // This board answers a discovery round of the same link too, with RSP_OK
  // like the answers to the password or a new MAC: a request about the
  // board as a whole is sent only once the answer to a broadcast has had
  // the time a late board takes, so that it is cleared away below and never
  // read as this request's answer. Page answers need RSP_PAGE or a
  // read-back, which an identification answer never passes.
  uint16_t kind = request & (uint16_t)~REQ_SP;
  if (kind != REQ_WRITE_PAGE && kind != REQ_READ_PAGE) {
    uint32_t b = link_.last_broadcast();
    uint32_t since = plat::tick() - b;
    if (b && since < QUIET_MS) plat::sleep_ms(QUIET_MS - since);
  }
  // A copy of the last answer would pass for this one's: it bears the same
  // flags and signature.
  if (answered_at_) {
    uint32_t since = plat::tick() - answered_at_;
    if (since < COPY_MS) plat::sleep_ms(COPY_MS - since);
    answered_at_ = 0;
  }
  // Whatever arrived before the request cannot be its answer, and an
  // answer taken for one step is never read again in the next.
  link_.catch_up();
  box_.clear();
  std::memset(reply_.bytes, 0, sizeof reply_.bytes);
  got_ = -1;
  sent_ = link_.send(addr_, rec, (size_t)len);
  exchange_note note;
  note.request = request;
  note.page = page;
  note.sent = sent_;
  if (sent_) {
    plat::sleep_ms(pause_ms);
    if (box_.take(reply_, timeout_)) got_ = reply_.len;
    // A datagram cut inside the header cannot say what it answers: a
    // missing flag byte would read as the zero the buffer was cleared to.
    if (got_ >= 0 && got_ < REPLY_HEADER_SIZE) {
      std::memset(reply_.bytes, 0, sizeof reply_.bytes);
      got_ = -1;
    }
    if (got_ >= 0) answered_at_ = reply_.at ? reply_.at : 1;
    note.reply_len = got_;
    note.reply_flags = got_ >= 0 ? reply_.reply.flags : 0;
  }
  observer_->exchanged(note);
  return sent_;
}

void board_session::alive_if(bool answered_as_asked) {
  if (answered_as_asked && own_[0] && signature_is(reply_.reply.signature, own_)) heard_ = plat::tick();
}

void board_session::settle(uint32_t bound_ms) {
  if (!sent_) return;
  sent_ = false;
  uint32_t start = plat::tick(), last = start;
  datagram d;
  for (;;) {
    uint32_t now = plat::tick();
    uint32_t quiet = now - last, spent = now - start;
    if (quiet >= QUIET_MS || spent >= bound_ms) return;
    // What comes now answers no request in hand: no sign of life either.
    if (box_.take(d, std::min(QUIET_MS - quiet, bound_ms - spent))) last = plat::tick();
  }
}

template <class Pass>
bool board_session::budget(unsigned budget_ms, Pass pass) {
  // A pass that has begun always runs to its end; the budget is looked at
  // only after one failed.
  uint32_t start = plat::tick();
  for (;;) {
    if (pass()) return true;
    uint32_t spent = plat::tick() - start;
    if (!(spent < budget_ms)) return false;
    settle(budget_ms - spent);
    if (!((uint32_t)(plat::tick() - start) < budget_ms)) return false;
  }
}

bool board_session::answered(uint16_t flag) const {
  return (reply_.reply.flags & flag) != 0 && is_model_signature(reply_.reply.signature);
}

bool board_session::ask_identify(unsigned pause_ms) {
  host_request r;
  make_request(r, REQ_IDENTIFY);
  return ask(&r, sizeof r, pause_ms, REQ_IDENTIFY) && is_identification(reply_.reply, got_);
}

bool board_session::ask_password(bool extra_signature) {
  host_data d;
  make_data(d, REQ_PASSWORD, 0);
  std::memcpy(d.data, password_, PASSWORD_SIZE);
  if (!ask(&d, sizeof d, BOARD_PAUSE_MS, REQ_PASSWORD)) return false;
  const char* sig = reply_.reply.signature;
  if (!is_model_signature(sig) && !(extra_signature && signature_is(sig, EXTRA_PASSWORD_SIGNATURE))) return false;
  if (reply_.reply.flags & RSP_OK) return true;
  if (reply_.reply.flags & RSP_BAD_PASSWORD) observer_->message("Ошибка пароля");
  return false;
}

bool board_session::identify(board_identity& out) {
  host_request r;
  make_request(r, REQ_IDENTIFY);
  link_.catch_up();
  box_.clear();
  uint32_t sent_at = plat::tick();
  exchange_note note;
  note.request = REQ_IDENTIFY;
  note.sent = link_.send(addr_, &r, sizeof r);
  if (!note.sent) {
    observer_->exchanged(note);
    return false;
  }
  // Only the address asked is heard (the mailbox is its own), and a later
  // answer wins.
  bool found = false;
  listen_after_identify(box_, sent_at, [&](const datagram& d) {
    note.reply_len = d.len;
    note.reply_flags = d.len >= REPLY_HEADER_SIZE ? d.reply.flags : 0;
    observer_->exchanged(note);
    if (!is_identification(d.reply, d.len)) return true;
    out.addr = addr_;
    std::memcpy(out.name, d.reply.data + IDENT_NAME_OFFSET, IDENT_NAME_SIZE);
    out.rev = d.reply.data[IDENT_REV_OFFSET];
    std::memcpy(out.mac, d.reply.data + IDENT_MAC_OFFSET, 6);
    std::memcpy(out.model, d.reply.signature, SIGNATURE_SIZE);
    found = true;
    return true;
  });
  if (note.reply_len < 0) observer_->exchanged(note);
  return found;
}

bool board_session::enter_programming() {
  timeout_ = RECEIVE_MS;
  return budget(ADMIT_BUDGET_MS, [&] {
    if (!ask_identify(BOARD_PAUSE_MS) || !ask_password(false)) return false;
    host_request r;
    make_request(r, REQ_ENTER_PROGRAMM);
    return ask(&r, sizeof r, BOARD_PAUSE_MS, REQ_ENTER_PROGRAMM) && answered(RSP_ENTER_PROGRAMM);
  });
}

bool board_session::confirm_found() {
  timeout_ = RECEIVE_MS;
  // Asked about twice a second; a failed send skips the pause.
  return budget(CONFIRM_BUDGET_MS, [&] { return ask_identify(IDENTIFY_PAUSE_MS); });
}

bool board_session::exit_programming() {
  timeout_ = RECEIVE_MS;
  return budget(EXIT_BUDGET_MS, [&] {
    host_request r;
    make_request(r, REQ_EXIT_PROGRAMM);
    return ask(&r, sizeof r, BOARD_PAUSE_MS, REQ_EXIT_PROGRAMM) && answered(RSP_EXIT_PROGRAMM);
  });
}

bool board_session::set_mac(const uint8_t mac[6]) {
  timeout_ = RECEIVE_MS;
  return budget(ADMIT_BUDGET_MS, [&] {
    if (!ask_identify(BOARD_PAUSE_MS) || !ask_password(false)) return false;
    host_data d;
    make_data(d, REQ_SET_MAC, 0);
    std::memcpy(d.data, mac, 6);
    if (!ask(&d, SET_MAC_REQUEST_SIZE, PAGE_PAUSE_MS, REQ_SET_MAC)) return false;
    // The signature first, then the flag: a foreign answer with RSP_OK is no
    // confirmation.
    return is_model_signature(reply_.reply.signature) && (reply_.reply.flags & RSP_OK);
  });
}

bool board_session::admit() {
  timeout_ = PAGE_RECEIVE_MS;
  admitted_ = false;
  own_[0] = 0;
  char identified[SIGNATURE_SIZE];
  bool ok = budget(ADMIT_BUDGET_MS, [&] {
    if (!ask_identify(BOARD_PAUSE_MS)) return false;
    std::memcpy(identified, reply_.reply.signature, SIGNATURE_SIZE);
    return ask_password(true);
  });
  if (!ok) return false;
  const char* sig = reply_.reply.signature;
  geometry_ = geometry_of(sig);
  // The board signs its page answers as it signed its password answer; one
  // whose password answer bore the extra signature, as it signed its
  // identification.
  std::memcpy(own_, is_model_signature(sig) ? sig : identified, SIGNATURE_SIZE);
  admitted_ = true;
  observer_->admitted(geometry_);
  return true;
}

bool board_session::write_page(uint32_t page, bool coprocessor, const uint8_t* data) {
  host_data d;
  uint16_t flags = coprocessor ? (REQ_WRITE_PAGE | REQ_SP) : REQ_WRITE_PAGE;
  make_data(d, flags, page);
  std::memcpy(d.data, data, geometry_.page_size);
  bool ok = ask(&d, HOST_DATA_HEADER + geometry_.page_size, PAGE_PAUSE_MS, flags, page) && answered(RSP_OK);
  alive_if(ok);
  return ok;
}

page_read board_session::read_page(uint32_t page, bool coprocessor, uint8_t* out) {
  host_data d;
  uint16_t flags = coprocessor ? (REQ_READ_PAGE | REQ_SP) : REQ_READ_PAGE;
  make_data(d, flags, page);
  if (!ask(&d, HOST_DATA_HEADER, PAGE_PAUSE_MS, flags, page) || !answered(RSP_PAGE)) return page_read::failed;
  // The whole page must have come back: a short answer leaves zeros that
  // would pass for a page of zeros without the board having said so.
  if (got_ < HOST_DATA_HEADER + geometry_.page_size) return page_read::short_answer;
  alive_if(true);
  std::memcpy(out, reply_.reply.data, geometry_.page_size);
  return page_read::ok;
}

bool board_session::given_up(uint32_t last_confirmed, const char* what, int page) {
  uint32_t now = plat::tick();
  if (now - heard_ < bounds_.silence_ms && now - last_confirmed < bounds_.stall_ms) return false;
  char text[200];
  std::snprintf(text, sizeof text, what, page);
  why_ = text;
  return true;
}

bool board_session::burn(const uint8_t* image, size_t size, bool coprocessor, bool only_changed) {
  if (!admit()) return false;
  const int pages = geometry_.pages();
  const size_t device_bytes = geometry_.bytes();
  // Anything past the board's memory that is not the erased 0xFF would be
  // silently left out: asked before anything is written, so that on no the
  // board stays as it was.
  bool fits = true;
  for (size_t i = device_bytes; i < size && fits; i++) fits = image[i] == 0xFF;
  if (!fits) {
    char question[200];
    std::snprintf(question, sizeof question,
                  "Образ больше памяти устройства (%zu байт). Прошить только первые %zu байт?", device_bytes,
                  device_bytes);
    if (!observer_->confirm(question)) return false;
  }

  std::vector<uint8_t> want(geometry_.page_size), got(geometry_.page_size);
  auto page_of = [&](int i) {
    size_t at = (size_t)i * geometry_.page_size;
    std::fill(want.begin(), want.end(), 0xFF);
    if (at < size) std::memcpy(want.data(), image + at, std::min(want.size(), size - at));
  };
  observer_->burn_started(pages);
  int confirmed = 0;
  int differing = 0;  // complete read-backs of the page in hand that differed
  // Both bounds count from the start of the transfer: the time the question
  // stood open is no silence of the board.
  uint32_t last_confirmed = plat::tick();
  heard_ = last_confirmed;
  page_of(0);
  // With only_changed a page is read first and written only when it
  // differs: a board that holds the image already costs one exchange a page.
  bool must_write = !only_changed;
  for (int i = 0; i < pages;) {
    page_read r = page_read::failed;
    bool differs = false;
    if (!must_write) {
      r = read_page((uint32_t)i, coprocessor, got.data());
      if (r == page_read::ok && got != want) {
        must_write = true;
        continue;
      }
    } else if (write_page((uint32_t)i, coprocessor, want.data())) {
      r = read_page((uint32_t)i, coprocessor, got.data());
      differs = r == page_read::ok && got != want;
    }
    if (r == page_read::ok && !differs) {
      observer_->page_done(++confirmed, pages);
      differing = 0;
      last_confirmed = plat::tick();
      if (++i < pages) {
        page_of(i);
        must_write = !only_changed;
        if (observer_->stop_requested()) break;
      }
      continue;
    }
    // A cell that never takes its byte would otherwise be rewritten until
    // the stall bound: minutes of a blocked line.
    if (differs && ++differing >= bounds_.worn_reads) {
      size_t at = (size_t)(std::mismatch(want.begin(), want.end(), got.begin()).first - want.begin());
      char text[200];
      std::snprintf(text, sizeof text, "Прошивка прервана: страница %d: по адресу 0x%X записано %02X, прочитано %02X.",
                    i, (unsigned)((size_t)i * geometry_.page_size + at), want[at], got[at]);
      observer_->burn_ended();
      observer_->message(text);
      return false;
    }
    settle(PAGE_SETTLE_MS);
    if (observer_->stop_requested()) break;
    if (given_up(last_confirmed, "Прошивка прервана: страница %d не подтверждена устройством.", i)) {
      observer_->burn_ended();
      observer_->message(why_.c_str());
      return false;
    }
  }
  observer_->burn_ended();
  return confirmed == pages;
}

bool board_session::fetch_page(uint32_t page, bool coprocessor, uint8_t* out) {
  uint32_t start = plat::tick();
  heard_ = start;
  why_.clear();
  // Nothing is written after a read here, so nothing else checks what came
  // back: a byte spoiled on the way would be reported as the board's. A
  // page counts as read once two reads in a row agree.
  std::vector<uint8_t> before(geometry_.page_size);
  bool have = false;
  int disagreeing = 0;
  for (;;) {
    if (read_page(page, coprocessor, out) == page_read::ok) {
      if (have && std::memcmp(out, before.data(), before.size()) == 0) return true;
      if (have && ++disagreeing >= bounds_.worn_reads) {
        char text[200];
        std::snprintf(text, sizeof text, "Чтение прервано: страница %d читается каждый раз по-разному.", (int)page);
        why_ = text;
        return false;
      }
      std::memcpy(before.data(), out, before.size());
      have = true;
    } else {
      settle(PAGE_SETTLE_MS);
    }
    if (observer_->stop_requested()) return false;
    if (given_up(start, "Чтение прервано: страница %d не получена от устройства.", (int)page)) return false;
  }
}

bool board_session::read_memory(bool coprocessor, uint8_t* out) {
  if (!admit()) return false;
  const int pages = geometry_.pages();
  observer_->burn_started(pages);
  for (int i = 0; i < pages; i++) {
    if (!fetch_page((uint32_t)i, coprocessor, out + (size_t)i * geometry_.page_size)) {
      observer_->burn_ended();
      if (!why_.empty()) observer_->message(why_.c_str());
      return false;
    }
    observer_->page_done(i + 1, pages);
    if (i + 1 < pages && observer_->stop_requested()) {
      observer_->burn_ended();
      return false;
    }
  }
  observer_->burn_ended();
  return true;
}
