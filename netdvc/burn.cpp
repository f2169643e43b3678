// Firmware burning: the image in MEMORY_MAP, every page written and read
// back before the next.
#include "loadhex/loadhex.h"
#include "netdvc/face.h"
#include "netdvc/netdvc.h"

uint32_t BURN_SILENCE_MS = 10000;
uint32_t BURN_STALL_MS = 300000;
volatile sig_atomic_t BURN_STOP = 0;

bool burn_device(const char* ip, uint16_t port, char write_to_SP) {
  face_call call(ip, port);
  if (!call) return false;
  board_session board(call.link, call.addr, DEV_PASS, &call.observer);
  burn_bounds bounds;
  bounds.silence_ms = BURN_SILENCE_MS;
  bounds.stall_ms = BURN_STALL_MS;
  board.set_bounds(bounds);
  return board.burn(MEMORY_MAP, sizeof MEMORY_MAP, write_to_SP != 0);
}
