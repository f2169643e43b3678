// MAC address assignment.
#include "netdvc/face.h"
#include "netdvc/netdvc.h"

bool set_mac(const char* ip, uint16_t port, const unsigned char* mac) {
  if (!mac) return false;
  face_call call(ip, port);
  if (!call) return false;
  board_session board(call.link, call.addr, DEV_PASS, &call.observer);
  return board.set_mac(mac);
}
