// MAC address assignment.
#include <cstring>

#include "netdvc/link.h"
#include "netdvc/netdvc.h"

bool set_mac(const char* ip, uint16_t port, const unsigned char* mac) {
  if (!mac) return false;
  tlink link;
  if (!link.open(ip, port, 100)) return false;
  return run_budget(link, 1000, [&] {
    if (!identify(link, 100) || !present_password(link, false)) return false;
    host_data d;
    make_data(d, REQ_SET_MAC, 0);
    std::memcpy(d.data, mac, 6);
    if (!link.ask(&d, SET_MAC_REQUEST_SIZE, 10)) return false;
    return is_model_signature(link.REPLY.signature) && (link.REPLY.flags & RSP_OK);
  });
}
