#include "workflow/session_board.h"

#include "platform/net.h"

session_board::session_board(loader_link& link, uint32_t addr, const char* password, board_observer* observer)
    : session_(link, addr, password, observer) {}

std::string session_board::address() const {
  char text[16];
  plat::format_ipv4(session_.address(), text);
  return text;
}

std::string device_password(const std::string& typed) {
  std::string p = typed;
  while (!p.empty() && (p.back() == ' ' || p.back() == '\r' || p.back() == '\n')) p.pop_back();
  if (p.size() > 16) p.resize(16);
  p.resize(16, '_');
  return p;
}
