// The toolkit's chief header: every public class of the window toolkit and
// the record tables.
#pragma once

#include "class/codes.h"
#include "class/sync.h"
#include "class/core.h"
#include "class/date.h"
#include "class/draw.h"
#include "class/button.h"
#include "class/check.h"
#include "class/dialogs.h"
#include "class/mouse.h"
#include "class/popup.h"
#include "class/calendar.h"
#include "class/read.h"
#include "class/dbase.h"
#include "class/query.h"
#include "class/grid.h"
