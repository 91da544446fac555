// The root's group files: the shared handles of the group files read at start-up, each with
// its file name relative to the root (null when memory for it failed). Closed at gfStop, once
// each, whether or not any record still refers to them.
#pragma once
#include "engine/platform/platform.h"

bool gfAddGroup(PlatHandle group);  // false when memory fails
void gfNoteGroupName(PlatHandle group, const char* name);
bool gfIsGroupHandle(PlatHandle h);
void gfCloseGroups();
