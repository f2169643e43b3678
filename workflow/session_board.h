// A board driven through a session of the caller's own link (the command-line
// tool's way), for the shared steps of workflow.h.
#pragma once

#include <cstdint>
#include <string>

#include "netdvc/session.h"
#include "workflow/workflow.h"

class session_board : public board_ops {
 public:
  // password: its first 16 bytes are sent. What the session reports goes
  // to observer (which may be null).
  session_board(loader_link& link, uint32_t addr, const char* password, board_observer* observer = nullptr);
  std::string address() const override;
  bool enter_programming() override { return session_.enter_programming(); }
  bool confirm_found() override { return session_.confirm_found(); }
  bool exit_programming() override { return session_.exit_programming(); }
  bool set_mac(const unsigned char mac[6]) override { return session_.set_mac(mac); }
  bool burn(const unsigned char* image, size_t size, bool coprocessor, bool only_changed) override {
    return session_.burn(image, size, coprocessor, only_changed);
  }
  unsigned reports() const override { return counter_.told; }
  int pages_done() const override { return counter_.pages; }
  bool stop_requested() const override { return counter_.inner && counter_.inner->stop_requested(); }
  // The board's whole memory (its geometry's bytes) into out; nothing is
  // written. Failed with the session's reason told, or stopped.
  step_outcome read(bool coprocessor, uint8_t* out);
  board_session& session() { return session_; }

 private:
  // Passes everything on to the caller's observer and counts what the user
  // is told, which is how a step learns that a failure has been explained.
  struct counting_observer : board_observer {
    board_observer* inner = nullptr;
    unsigned told = 0;
    int pages = -1;  // of the burn in hand
    void message(const char* text) override;
    bool confirm(const char* question) override;
    void admitted(const page_geometry& g) override { if (inner) inner->admitted(g); }
    void burn_started(int total) override {
      pages = 0;
      if (inner) inner->burn_started(total);
    }
    void page_done(int done, int total) override {
      pages = done;
      if (inner) inner->page_done(done, total);
    }
    void burn_ended() override { if (inner) inner->burn_ended(); }
    bool stop_requested() override { return inner && inner->stop_requested(); }
    void exchanged(const exchange_note& n) override { if (inner) inner->exchanged(n); }
  };
  counting_observer counter_;
  board_session session_;
};

// The password as a board expects it, from what was typed: trailing blanks
// and line ends dropped, cut at 16 characters, padded with '_' to 16.
std::string device_password(const std::string& typed);
