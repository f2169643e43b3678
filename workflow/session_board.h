// A board driven through a session of the caller's own link (the command-line
// tool's way), for the shared steps of workflow.h.
#pragma once

#include <cstdint>
#include <string>

#include "netdvc/session.h"
#include "workflow/workflow.h"

class session_board : public board_ops {
 public:
  // password: its first 16 bytes are sent.
  session_board(loader_link& link, uint32_t addr, const char* password, board_observer* observer = nullptr);
  std::string address() const override;
  bool enter_programming() override { return session_.enter_programming(); }
  bool confirm_found() override { return session_.confirm_found(); }
  bool exit_programming() override { return session_.exit_programming(); }
  bool set_mac(const unsigned char mac[6]) override { return session_.set_mac(mac); }
  board_session& session() { return session_; }

 private:
  board_session session_;
};

// The password as a board expects it, from what was typed: trailing blanks
// and line ends dropped, cut at 16 characters, padded with '_' to 16.
std::string device_password(const std::string& typed);
