// Programming mode on, its confirmation, and off.
#include "netdvc/face.h"
#include "netdvc/netdvc.h"

bool set_programm_mode(const char* ip, uint16_t port) {
  face_call call(ip, port);
  if (!call) return false;
  board_session board(call.link, call.addr, DEV_PASS, &call.observer);
  return board.enter_programming();
}

bool check_device_found(const char* ip, uint16_t port) {
  face_call call(ip, port);
  if (!call) return false;
  board_session board(call.link, call.addr, DEV_PASS, &call.observer);
  return board.confirm_found();
}

bool exit_programm_mode(const char* ip, uint16_t port) {
  face_call call(ip, port);
  if (!call) return false;
  board_session board(call.link, call.addr, DEV_PASS, &call.observer);
  return board.exit_programming();
}
