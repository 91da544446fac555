// State and inner operations shared by the group file manager's own units; never included
// outside engine/gf.
#pragma once
#include "engine/gf/gf.h"

constexpr int GF_PATH_MAX = 255;  // every name and path the manager builds stays within this

// ---- manager state (owned by table.cpp) ---------------------------------------------------
extern char gfRoot[GF_PATH_MAX + 1];  // ends in a backslash once gfStart(root) has set it
extern t_gfFileInfo* gfFiles;         // gfFileCount records; null while stopped
extern int gfFileCount;
extern int gfSortedCount;  // records before this are in table order
extern int gfStarted;
// The handles of the root's group files read at start-up (data: the handle). They are
// closed here at gfStop, once each, whether or not any record still refers to them.
extern struct_list* gfGroupHandles;

// ---- the start-up scan (scan.cpp) ---------------------------------------------------------
void gfScanRoot(struct_list** list, const char* dir);
void gfScanDir(struct_list** list, const char* dir);
void gfReadGroup(struct_list** list, HANDLE group);
// A new scan entry, zero but for the given name; null when memory fails.
t_gfScanEntry* gfNewScanEntry(const char* name);
void gfFreeScanEntry(t_gfScanEntry* entry);

// ---- the table order ----------------------------------------------------------------------
int gfCompareName(const char* key, const t_gfFileInfo* record);
// Turns a to z into A to Z in place.
void gfUpperCase(char* name);

// ---- the builder ----------------------------------------------------------------------------
// Called, when set, after the build list has been collected and before anything is
// written: lets tests change files between the search and the copy.
extern void (*gfBuildAfterCollect)();
