// The table of one group file (gfStartGroup): its entries, without the root's loose files
// or its other groups; and the library's version.
#include <cstdio>
#include <cstring>

#include "engine/gf/gf_internal.h"
#include "tarnpak/t_list.h"

void gfScanGroupIntoTable(const char* path) {
  struct_list* list = nullptr;
  PlatHandle group = platOpenRead(path);
  gfReadGroup(&list, group);  // closes a group it cannot read
  if (group != INVALID_HANDLE && gfIsGroupHandle(group)) {
    const char* leaf = path;
    for (const char* c = path; *c; c++)
      if (*c == '/' || *c == '\\') leaf = c + 1;
    gfNoteGroupName(group, leaf);
  }
  gfTableFromScan(list, gfRoot);
}

#ifndef TARNPAK_VERSION
#define TARNPAK_VERSION "unknown"
#endif

const char* gfVersion() { return TARNPAK_VERSION; }
