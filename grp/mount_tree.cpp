// The mount's directory tree from the file table, and path lookups in it.
#include "grp/mount_tree.h"

#include <cstring>

#include "tarnpak/gf.h"
#include "grp/common.h"

namespace {

// A level as the engine compares names: any case. A level longer than any stored name
// keeps its spelling, and so matches none.
std::string upperKey(const std::string& name) {
  char key[256];
  return gfStoredForm(name.c_str(), key) ? key : name;
}

// The levels of a stored name; the platform maps '/' like '\' to a level, so both count.
bool splitLevels(const char* name, std::vector<std::string>* levels) {
  std::string level;
  for (const char* c = name;; c++) {
    if (*c == '\\' || *c == '/' || *c == 0) {
      if (level.empty() || level == "." || level == "..") return false;
      levels->push_back(level);
      level.clear();
      if (*c == 0) return true;
    } else {
      level += *c;
    }
  }
}

size_t addNode(t_mountTree* tree, size_t parent, const std::string& name, long record) {
  size_t index = tree->nodes.size();
  tree->nodes.push_back({name, record, {}});
  tree->nodes[parent].children[upperKey(name)] = index;
  return index;
}

void hide(const char* name, const char* why) {
  grpError("'%s' is not shown in the mount: %s", grpPrintable(name).c_str(), why);
}

void addRecord(t_mountTree* tree, long index) {
  const char* name = gfTableRecord(index)->name;
  std::vector<std::string> levels;
  if (!splitLevels(name, &levels)) return hide(name, "it has an empty, '.' or '..' level");
  size_t at = 0;
  for (size_t i = 0; i + 1 < levels.size(); i++) {
    auto found = tree->nodes[at].children.find(upperKey(levels[i]));
    if (found == tree->nodes[at].children.end()) {
      at = addNode(tree, at, levels[i], -1);
      continue;
    }
    t_mountNode& level = tree->nodes[found->second];
    if (level.record >= 0) {  // a file stood where this name needs a directory
      hide(gfTableRecord(level.record)->name, "a directory of the same name hides it");
      level.record = -1;
    }
    at = found->second;
  }
  if (tree->nodes[at].children.count(upperKey(levels.back())))
    return hide(name, "a directory or file of the same name hides it");
  addNode(tree, at, levels.back(), index);
}

}  // namespace

void grpBuildMountTree(t_mountTree* tree) {
  tree->nodes.clear();
  tree->nodes.push_back({"", -1, {}});
  for (long i = 0; i < gfTableCount(); i++) addRecord(tree, i);
}

long grpFindMountNode(const t_mountTree& tree, const char* path) {
  size_t at = 0;
  std::string level;
  for (const char* c = path;; c++) {
    if (*c == '/' || *c == 0) {
      if (!level.empty()) {
        const t_mountNode& node = tree.nodes[at];
        auto found = node.children.find(upperKey(level));
        if (found == node.children.end()) return -1;
        at = found->second;
        level.clear();
      }
      if (*c == 0) return (long)at;
    } else {
      level += *c;
    }
  }
}
