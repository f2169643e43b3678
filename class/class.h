// The toolkit's chief header: every public class of the window toolkit and
// the record tables.
#pragma once

#include "class/sync.h"
#include "class/core.h"
#include "class/dialogs.h"
#if __has_include("class/date.h")
#include "class/date.h"
#endif
