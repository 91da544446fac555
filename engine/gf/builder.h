// The builder's collection of files by the build list's rules, for the edits of a group.
#pragma once
#include "engine/gf/group_writer.h"
#include "tarnpak/gf.h"

// Adds to files what path (relative to root, which ends in a backslash) names, by the build
// list's rules: a file as the line "PATH" takes it, a directory (or "" for root) as
// "PATH\\*.* r" does. The file group, when met in the tree, is left out with a warning. 0
// when it went well; 1 after reporting to sink why not (nothing found, a name refused).
int gfCollectPath(const char* root, const char* path, const char* group, t_gfWriteList* files,
                  t_gfReport sink, t_gfReport warn);
