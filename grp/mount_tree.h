// The directory tree a mount shows: built once from the engine's file table, with the
// backslash levels of the names as directories and lookups without regard to case.
#pragma once
#include <map>
#include <string>
#include <vector>

struct t_mountNode {
  std::string name;                        // the level's name as stored
  long record;                             // the file's index in the file table; -1 for a directory
  std::map<std::string, size_t> children;  // by the name with a to z raised
};

// Node 0 is the root directory.
struct t_mountTree {
  std::vector<t_mountNode> nodes;
};

// Makes the tree of the started table. A name that cannot be shown (an empty, "." or ".."
// level; a file where a directory of the same name stands) is left out, with a line on
// stderr.
void grpBuildMountTree(t_mountTree* tree);
// The node of a mount path such as "/textures/wall.tga" (any case), or -1.
long grpFindMountNode(const t_mountTree& tree, const char* path);
