// The application: the entry function and its workflow.
#pragma once

int WinMain(void* instance, void* prev, char* cmdline, int show);
