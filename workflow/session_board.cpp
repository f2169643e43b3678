#include "workflow/session_board.h"

#include "platform/net.h"

session_board::session_board(loader_link& link, uint32_t addr, const char* password, board_observer* observer)
    : session_(link, addr, password, &counter_) {
  counter_.inner = observer;
}

void session_board::counting_observer::message(const char* text) {
  told++;
  if (inner) inner->message(text);
}

bool session_board::counting_observer::confirm(const char* question) {
  told++;
  return inner && inner->confirm(question);
}

std::string session_board::address() const {
  char text[16];
  plat::format_ipv4(session_.address(), text);
  return text;
}

step_outcome session_board::read(bool coprocessor, uint8_t* out) {
  step_outcome o;
  unsigned before = counter_.told;
  if (session_.read_memory(coprocessor, out)) return o;
  o.end = stop_requested() ? STEP_STOPPED : STEP_FAILED;
  o.reported = counter_.told != before;
  return o;
}

std::string device_password(const std::string& typed) {
  std::string p = typed;
  while (!p.empty() && (p.back() == ' ' || p.back() == '\r' || p.back() == '\n')) p.pop_back();
  if (p.size() > 16) p.resize(16);
  p.resize(16, '_');
  return p;
}
