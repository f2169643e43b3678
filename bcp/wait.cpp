#include "bcp/wait.h"

#include "class/class.h"
#include "platform/platform.h"

// Under a dialog sink (a program without windows) there is no pointer to
// change and no window to show: asking for a cursor would start the video
// subsystem, and with it a connection to a display the program never uses.
_wait::_wait() : P_POS(0), C_POS(0), WIN(nullptr), BOX{}, TITLE(nullptr) {
  if (!DIALOG_SINK) set_cursor(plat::load_cursor(IDC_WAIT));
}

_wait::_wait(const char* title) : P_POS(0), C_POS(0), WIN(nullptr), BOX{}, TITLE(nullptr) {
  if (DIALOG_SINK) return;
  WIN = new twindow(208, 38, 0);
  TITLE = new ttext(4, 3, title);
  for (int i = 0; i < 50; i++) BOX[i] = new tbox(4 + 4 * i, 21, 2, 10, &cGRAY);
  set_cursor(plat::load_cursor(IDC_WAIT));
  plat::present();
}

_wait::~_wait() {
  if (WIN && TITLE) {
    for (int i = 49; i >= 0; i--) delete BOX[i];
    delete TITLE;
    delete WIN;
  }
  if (!DIALOG_SINK) set_cursor(plat::load_cursor(IDC_ARROW));
}

bool _wait::step() {
  if (!WIN || !TITLE) return true;
  // The positions are public; a caller that spoiled them restarts the cycle
  // rather than reaching outside the cells.
  if (P_POS < 0 || C_POS < 0 || P_POS > 50 || C_POS > 50) P_POS = C_POS = 0;
  if (P_POS < 50) {
    BOX[P_POS]->color(&cGREEN);
    P_POS++;
  } else if (C_POS < 50) {
    BOX[C_POS]->color(&cGRAY);
    C_POS++;
  } else {
    P_POS = C_POS = 0;
  }
  // The event read below may come from the queue without the pump waiting,
  // which is where drawing otherwise reaches the screen.
  plat::present();
  return getkey() != KEY_ESC;
}
