// Progress windows for long blocking operations of known length: a row of 50
// cells and a percentage (_progress), or two such rows in one window
// (_dprogress). The window opens with the object and closes with it; the
// pointer is the hourglass in between.
#pragma once

class twindow;
class tbox;
class ttext;

class _progress {
 public:
  int MAX;   // steps that mean 100 %; never 0
  int POS;   // steps taken
  int OPOS;  // cells drawn filled
  twindow* WIN;
  tbox* BOX[50];
  ttext* TITLE;
  ttext* COMPLETE;  // the percentage
  ttext* TEMP;      // the percent sign after it

  _progress(const char* title, int max);
  ~_progress();
  _progress(const _progress&) = delete;
  _progress& operator=(const _progress&) = delete;

  // One step forward. Repaints and lets the windows catch up only when a
  // cell changes, so a run of any length costs at most 50 repaints.
  bool step();
  _progress& operator=(int n);
  void set(int n);
  _progress& operator+=(int n);
  // A new maximum for the steps to come; nothing is redrawn now.
  void max(int n);
};

class _dprogress {
 public:
  int MAX1, MAX2;
  int POS1, POS2;
  int OPOS1, OPOS2;
  twindow* WIN;
  tbox* BOX1[50];
  tbox* BOX2[50];
  ttext* TITLE;
  ttext* COMPLETE1;
  ttext* COMPLETE2;
  ttext* TEMP1;
  ttext* TEMP2;

  _dprogress(const char* title, int max1, int max2);
  ~_dprogress();
  _dprogress(const _dprogress&) = delete;
  _dprogress& operator=(const _dprogress&) = delete;

  bool step1();
  bool step2();
  _dprogress& operator=(int n);
  void set1(int n);
  void set2(int n);
  void max1(int n);
  void max2(int n);
};
