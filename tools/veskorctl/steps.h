// veskorctl: the steps of one board that several commands take, each
// reported into the board's row of the view.
#pragma once

#include <string>

#include "tools/veskorctl/ctl.h"
#include "workflow/session_board.h"

namespace ctl {

// Programming mode on and the loader back again; false with the reason
// (empty when the board said why itself, a refused password).
bool enter_board(session_board& board, board_report& report, std::string& failure);
// Programming mode off; says so when the board does not confirm it.
void leave_board(session_board& board);

}  // namespace ctl
