// The debug console as the engine's own units see it; not part of the library's interface.
#pragma once

// Whether a DebugPrintf now would reach anyone: a log file, or a line output that keeps its
// lines. Lets a caller that prints often leave out formatting that nobody receives.
bool debugHeard();
// Stands for one DebugPrintf, ending in a newline, that nobody hears: leaves the debug
// printers' state as that call would have, so the next heard line starts as it would.
void debugPassOverLine();
