// The desktop's helper programs (the file chooser) run modal over our
// windows; the spawning and reading itself is run_child's (platform/child.cpp).
#include "platform/internal.h"

namespace plat {

namespace {

struct modal_wait {
  bool started = false;  // the child ran: a round is always made after it ends
};

// While the chooser runs, our windows keep being painted and whatever
// reaches them is thrown away, so a click on the main window meanwhile can
// never fire afterwards.
void modal_round(void* ctx) {
  static_cast<modal_wait*>(ctx)->started = true;
  modal_pump();
}

}  // namespace

bool run_capture(const char* const argv[], std::string& out, int* exit_code, size_t limit) {
  void* focused = get_focus();
  modal_wait wait;
  bool ok = run_child(argv, out, exit_code, limit, modal_round, &wait);
  if (wait.started && focused && is_window(focused)) set_focus(focused);
  return ok;
}

}  // namespace plat
