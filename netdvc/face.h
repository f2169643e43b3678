// What the window tool's device calls share beneath their faces: the link
// of one call with the busy pointer held while it is open, and the observer
// that turns what a session reports into message boxes, the progress window
// and the page geometry globals.
#pragma once

#include <cstdint>
#include <memory>

#include "bcp/bcp.h"
#include "netdvc/link.h"
#include "netdvc/session.h"

class face_observer : public board_observer {
 public:
  void message(const char* text) override;
  bool confirm(const char* question) override;
  void admitted(const page_geometry& g) override;
  void burn_started(int pages) override;
  void page_done(int done, int pages) override;
  void burn_ended() override;
  bool stop_requested() override;

 private:
  std::unique_ptr<_progress> progress_;
};

// One device call's link to ip (a strict dotted address: anything else fails
// before a socket exists, so that no text turns into the broadcast address).
class face_call {
 public:
  face_call(const char* ip, uint16_t port);
  ~face_call();
  explicit operator bool() const { return open_; }

  loader_link link;
  uint32_t addr = 0;
  face_observer observer;

 private:
  bool open_ = false;
  std::unique_ptr<_wait> busy_;
};
