#include "bcp/wait.h"

#include "class/class.h"
#include "platform/platform.h"

_wait::_wait() : P_POS(0), C_POS(0), WIN(nullptr), BOX{}, TITLE(nullptr) {
  set_cursor(plat::load_cursor(IDC_WAIT));
}

_wait::~_wait() { set_cursor(plat::load_cursor(IDC_ARROW)); }

bool _wait::step() {
  if (!WIN || !TITLE) return true;
  return true;
}
