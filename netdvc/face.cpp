#include "netdvc/face.h"

#include "class/class.h"
#include "loadhex/loadhex.h"
#include "netdvc/netdvc.h"
#include "platform/net.h"

char DEV_PASS[100];

void face_observer::message(const char* text) { ::message(text); }

bool face_observer::confirm(const char* question) { return yes_no(question) != 0; }

void face_observer::admitted(const page_geometry& g) {
  page_size = g.page_size;
  page_count = g.page_count;
}

void face_observer::burn_started(int pages) { progress_.reset(new _progress("Прошивка устройства", pages)); }

void face_observer::page_done(int, int) {
  if (progress_) progress_->step();
}

void face_observer::burn_ended() { progress_.reset(); }

bool face_observer::stop_requested() { return BURN_STOP != 0; }

face_call::face_call(const char* ip, uint16_t port) {
  if (!plat::parse_ipv4(ip, &addr)) return;
  if (!link.open(port)) return;
  busy_.reset(new _wait);
  open_ = true;
}

face_call::~face_call() {
  // The hourglass goes before the link closes.
  busy_.reset();
  link.close();
}

bool loader_port_busy(uint16_t port) { return plat::udp_port_busy(port); }
