// Support components: the settings key store, progress and wait windows, the
// busy pointer.
#pragma once

#include "bcp/regkey.h"
#include "bcp/wait.h"
#include "bcp/progress.h"
