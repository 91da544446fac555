// Opening a group file with its directory for a job, and saying why it could not be opened
// or read (the tools' readers of group files, in the public header, go through these).
#pragma once
#include "engine/gf/base/group_format.h"
#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

// Opens the group file at path and loads its directory; on failure reports why to sink and
// returns INVALID_HANDLE with nothing left open or allocated.
PlatHandle gfOpenGroup(const char* path, t_gfDirectory* directory, t_gfReport sink);
// The build flag in the header of the group open on group; 1 when it cannot be read.
unsigned gfReadBuildFlag(PlatHandle group);
// Reports why the directory of the group file at path could not be read.
void gfReportDirectoryFailure(const char* path, t_gfDirStatus status,
                              const t_gfDirectory* directory, t_gfReport sink);
// Reports why the group file at path could not be opened (the host's reason).
void gfReportOpenFailure(const char* path, t_gfReport sink);
