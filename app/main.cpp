#include "app/app.h"
#include "platform/platform.h"

int main() {
  plat::install_session_signals();
  static int instance;
  return WinMain(&instance, nullptr, (char*)"", 5);
}
