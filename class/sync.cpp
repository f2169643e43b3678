#include "class/sync.h"

#include "class/core.h"
#include "platform/platform.h"

tsync::tsync(int n) : HSM(plat::sem_create(nullptr, n)) {}
tsync::tsync(const char* name, int n) : HSM(plat::sem_create(name, n)) {}
tsync::~tsync() { plat::sem_destroy(HSM); }
int tsync::wait(int timeout_ms) { return plat::sem_wait(HSM, timeout_ms); }
void tsync::free(int n) { plat::sem_post(HSM, n); }

tcriticalsection::tcriticalsection() : CS(plat::cs_create()) {}
tcriticalsection::~tcriticalsection() { plat::cs_destroy(CS); }
void tcriticalsection::enter() { plat::cs_enter(CS); }
void tcriticalsection::leave() { plat::cs_leave(CS); }

ttimer::ttimer(unsigned n) : tim(n), st(plat::tick() / 100), rz(0) {}

ttimer& ttimer::operator=(unsigned n) {
  tim = n;
  st = plat::tick() / 100;
  return *this;
}

unsigned ttimer::remaining() {
  rz = plat::tick() / 100 - st;
  return rz < tim ? tim - rz : 0;
}

bool ttimer::operator==(unsigned n) { return remaining() == n; }
bool ttimer::operator!=(unsigned n) { return !(*this == n); }

twait::twait() { set_cursor(plat::load_cursor(IDC_WAIT)); }
twait::~twait() { set_cursor(plat::load_cursor(IDC_ARROW)); }
