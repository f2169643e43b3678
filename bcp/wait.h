// The wait indicator. Untitled, it only turns the pointer into the hourglass
// for as long as it lives; the titled form also shows a small window with a
// bar that runs for as long as the caller keeps stepping it, and tells the
// caller when the user pressed Esc.
#pragma once

class twindow;
class tbox;
class ttext;

class _wait {
 public:
  int P_POS;  // cells filled so far in the current cycle
  int C_POS;  // cells cleared again so far in the current cycle
  twindow* WIN;
  tbox* BOX[50];
  ttext* TITLE;

  _wait();
  // A null title is shown as an empty one.
  explicit _wait(const char* title);
  ~_wait();
  _wait(const _wait&) = delete;
  _wait& operator=(const _wait&) = delete;

  // Titled form: moves the bar one cell and reads one event; false when that
  // event was Esc. The untitled form draws nothing, reads no events and
  // returns true.
  bool step();
};
