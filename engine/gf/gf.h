// The group file manager's exported interface: the file table records and the gf functions
// (start-up scan, lookup, builder, unpacker).
#pragma once
#include <cstdint>

#include "engine/engine_api.h"
#include "engine/platform/platform.h"

struct struct_list;
struct GFILE;

// One file of the manager's table.
struct ENGINE_API t_gfFileInfo {
  char* name;   // relative to the root, backslashes, a-z turned to A-Z
  long offset;  // start of the data in its group file; 0 for a loose file
  long size;
  HANDLE handle;  // the group file's shared handle, or the loose file's own while open
  int openCount;
  std::uint16_t date;           // MS-DOS date of the last write (UTC)
  std::uint16_t time;           // MS-DOS time of the last write (UTC)
  unsigned char wavHeader[44];  // first 44 bytes of a ".WAV" file, else zeros
  void* cacheData;
  long readId;
  GFILE* cacheFile;
  int inGroup;
  float lastUse;
};

// One file found by a scan, kept in a list until the table or a group's directory is made.
struct ENGINE_API t_gfScanEntry {
  char* name;    // start-up scan: the full path; builder: the stored name
  HANDLE group;  // the group file holding the entry, or INVALID_HANDLE for a loose file
  long offset;
  long size;
  std::uint16_t date;
  std::uint16_t time;
  int inGroup;
  char* source;  // builder only: the host path the directory search found the file under
};

// Where the checked inner forms send one message each (no newline); null: silent.
typedef void (*t_gfReport)(const char* message);

// ---- the file table -----------------------------------------------------------------------
ENGINE_API void gfStart(const char* root);
ENGINE_API void gfStart();
ENGINE_API void gfStop();
ENGINE_API long gfFetch(const char* name);
ENGINE_API t_gfFileInfo* gfGetFileInfo(const char* name);
ENGINE_API int gfCompareFileInfo(const t_gfFileInfo* a, const t_gfFileInfo* b);

// ---- the builder --------------------------------------------------------------------------
// Packs the files the root's "group.cfg" names into the group file name.
ENGINE_API void Tarnpak(const char* name, int flag);
// The same, reporting what went wrong; 0 when a group was written, 1 otherwise.
ENGINE_API int TarnpakChecked(const char* name, int flag, t_gfReport report);
ENGINE_API void gfCollectFiles(struct_list** list, const char* mask, int recurse);
// Whether the build list of directory root can be read, checked before anything is scanned
// (a tree that is no game directory may be huge); 0 when it can, else 1 after reporting why.
ENGINE_API int gfCheckBuildList(const char* root, t_gfReport report);

// ---- the unpacker -------------------------------------------------------------------------
// Recreates every file stored in the group file below the current directory.
ENGINE_API void gfUnpack(const char* path);
// The same, reporting each problem; 0 when every file was written, 1 otherwise.
ENGINE_API int gfUnpackChecked(const char* path, t_gfReport report);
