// The usage line and help text of each grp command.
#pragma once
#include <cstdio>

// "grp list FILE.grp [-l] [--json]" and the like; null for an unknown command.
const char* grpUsageLine(const char* command);
// The usage line and what the command does, for "grp COMMAND --help".
void grpPrintHelp(const char* command);
// Every command's usage line, for "grp --help" and a missing command.
void grpPrintUsage(FILE* to);
