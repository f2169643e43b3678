// veskorctl: the steps of one board that several commands take, each
// reported into the board's row of the view.
#pragma once

#include <string>

#include "tools/veskorctl/ctl.h"
#include "workflow/session_board.h"

namespace ctl {

// The one place veskorctl words a failed step: a failure the board's own
// report explained (a refused password, a page never confirmed) gets only
// explained, often nothing, so that nothing is said twice; one it did not
// explain gets the step's own text, or NO_ANSWER for a board that said
// nothing at all. Empty for a step that did not fail.
std::string failure_words(const step_outcome& o, const std::string& explained = "");
// Programming mode on and the loader back again; false with the reason
// (empty when the board said why itself, a refused password).
bool enter_board(session_board& board, board_report& report, std::string& failure);
// Programming mode off; says so when the board does not confirm it.
void leave_board(session_board& board);

}  // namespace ctl
