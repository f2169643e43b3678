// The wait indicator. Untitled, it only turns the pointer into the hourglass
// for as long as it lives; the titled form also shows a small window with a
// moving bar.
#pragma once

class twindow;
class tbox;

class _wait {
 public:
  int P_POS, C_POS;
  twindow* WIN;
  tbox* BOX[50];
  char* TITLE;

  _wait();
  ~_wait();
  _wait(const _wait&) = delete;
  _wait& operator=(const _wait&) = delete;

  // Moves the bar of the titled form and lets the windows repaint; the
  // untitled form draws nothing and reads no events.
  bool step();
};
