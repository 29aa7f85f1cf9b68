// The Actions section of the configuration: its read and release callbacks. The action
// parser, the address normaliser and the configuration trace it also holds are declared
// with the configuration record in zv_options.h.
#pragma once

#include <cstdio>

// Reads and checks the Actions section into its ActionsConfig (`argument`); 1 on success,
// 0 with the sub-record released.
int read_actions(FILE* stream, int* line, const char* name, void* argument);
// Frees every text and list the Actions section stored and sets it to none.
void release_actions(const char* name, void* argument);
