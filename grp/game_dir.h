// Starting the engine's file table on a game directory, for table and mount.
#pragma once
#include <cstddef>

// The engine's root holds at most 255 bytes with its trailing backslash.
constexpr std::size_t kGrpRootMax = 255;

// Checks that dir is a directory the engine can take as its root, then gfStart on it; a
// group file instead gives the table of that group alone. Prints a one-line error and
// returns false otherwise.
bool grpStartGameDir(const char* dir);
