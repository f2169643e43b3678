// The window tool's faces of discovery (the round itself is discovery.cpp):
// one identify request to the whole bench, shown in the chooser, and
// identifying the one device at an address typed by hand.
#include <cstdio>
#include <cstring>
#include <memory>

#include "class/class.h"
#include "netdvc/face.h"
#include "netdvc/netdvc.h"
#include "platform/net.h"
#include "platform/platform.h"

int discover_devices(uint16_t port, std::vector<found_device>& found, size_t max) {
  found.clear();
  loader_link link;
  if (!link.open(port)) return -1;
  _wait busy;
  return discover_round(link, found, max);
}

int find_dhcp_devices(char* ip, char* name, unsigned char* mac, unsigned char* rev, uint16_t port) {
  std::vector<found_device> found;
  // More than the record base can hold would only be thrown away.
  if (discover_devices(port, found, DB_MAX_RECORDS) <= 0) return 1;
  // The memory base is half a megabyte: not for the caller's stack.
  std::unique_ptr<_mbase> base(new _mbase("dhcpdev", "s16 s16 s48 c s6", 100, 0));
  tdbquery DHCP(base.get());
  for (const found_device& d : found) {
    // A full base gives no new record: the fields would be written over
    // the current one.
    if (DHCP.append() < 0) break;
    char text[16];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", d.mac[0], d.mac[1], d.mac[2], d.mac[3],
                  d.mac[4], d.mac[5]);
    DHCP.set_binary(d.name, 0);
    DHCP.set_string(d.ip, 1);
    DHCP.set_string(text, 2);
    DHCP.set_char((char)d.rev, 3);
    DHCP.set_binary(d.mac, 4);
  }
  if (DHCP.size() == 0) return 1;
  return choose_device(DHCP, ip, name, mac, rev);
}

bool get_device_name(const char* ip, char* name, unsigned char* mac, unsigned char* rev, uint16_t port) {
  face_call call(ip, port);
  if (!call) return false;
  board_session board(call.link, call.addr, DEV_PASS, &call.observer);
  board_identity id;
  if (!board.identify(id)) return false;
  std::memcpy(name, id.name, IDENT_NAME_SIZE);
  name[IDENT_NAME_SIZE] = '\0';
  *rev = id.rev;
  std::memcpy(mac, id.mac, 6);
  return true;
}
