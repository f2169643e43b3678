// Every unit-test binary runs on SDL's dummy drivers, whoever starts it (ctest,
// a developer's shell, a debugger): no display, no sound card needed. Set
// before main, so before any test touches SDL.
#include <cstdlib>

namespace {
struct dummy_drivers {
  dummy_drivers() {
    setenv("SDL_VIDEODRIVER", "dummy", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 0);
  }
} set_them;
}  // namespace
