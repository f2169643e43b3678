// Programming mode on, its confirmation, and off.
#include "netdvc/link.h"
#include "netdvc/netdvc.h"

bool set_programm_mode(const char* ip, uint16_t port) {
  tlink link;
  if (!link.open(ip, port, 100)) return false;
  return run_budget(link, 1000, [&] {
    if (!identify(link, 100) || !present_password(link, false)) return false;
    host_request r;
    make_request(r, REQ_ENTER_PROGRAMM);
    return link.ask(&r, sizeof r, 100) && link.answered(RSP_ENTER_PROGRAMM);
  });
}

bool check_device_found(const char* ip, uint16_t port) {
  tlink link;
  if (!link.open(ip, port, 100)) return false;
  // Asked about twice a second; a failed send skips the pause.
  return run_budget(link, 30000, [&] { return identify(link, 400); });
}

bool exit_programm_mode(const char* ip, uint16_t port) {
  tlink link;
  if (!link.open(ip, port, 100)) return false;
  return run_budget(link, 8000, [&] {
    host_request r;
    make_request(r, REQ_EXIT_PROGRAMM);
    return link.ask(&r, sizeof r, 100) && link.answered(RSP_EXIT_PROGRAMM);
  });
}
