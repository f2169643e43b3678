// The library-wide objects that exist before the program's entry function
// runs and after it returns. They live in one file so that they are made in
// this order (colours first, then the locks) and destroyed in the reverse.
#include "class/core.h"
#include "platform/platform.h"

tcolor cWHITE(0x00FFFFFF);
tcolor cBLACK(0x00000000);
tcolor cRED(0x000000FF);
tcolor cGREEN(0x0000FF00);
tcolor cLGREEN(0x00C0FFC0);
tcolor cDGREEN(0x0000A000);
tcolor cYELLOW(0x0000FFFF);
tcolor cLYELLOW(0x00D2F0F0);
tcolor cBLUE(0x00FF0000);
tcolor cDBLUE(0x00A00000);
tcolor cLGRAY(0x00C8D0D4);
tcolor cLLGRAY(0x00E0E0E0);
tcolor cGRAY(0x00808080);
tcolor cBGR(plat::menu_color());

tsync KEY_SYNC(1);
tcriticalsection _VIDEO_CS;
tsync SORT_SYNC(1);
