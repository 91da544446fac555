// The unpacker's writers: each file of a task made whole. A new name is made in place; a
// file already there is written beside it under a temporary name and renamed over it once
// complete, so that an interrupt or a failure leaves the old copy whole.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/gf/unpack/unpack_write.h"

#include "engine/gf/base/names.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/containers.h"

namespace {

constexpr long kWindowedFileMax = 64 * 1024;

// Where a file's bytes go: the spelling it takes in its directory and how it is written.
struct t_gfTarget {
  const char* leaf;      // the name written: as stored, or the spelling already there
  char other[256];       // that spelling
  bool beside;           // a file of that name is there: written beside it, then renamed
  char temp[GF_NAME_MAX + 64];  // the name written beside it
  int token;             // its place on the interrupt list, or -1
  t_gfListing* own;      // the directory read afresh for this file (owned), or null
  const t_gfListing* names;  // the names the spelling was found in, or null
};

// A file left out because the disk filled: counted as a failure, without a message of its own.
void skipFile(t_gfTask* task) {
  task->failures++;
  task->shared->notWritten++;
}

// A file that could not be made or filled, for the reason the host gave. The first "no space
// left" is told and stops the unpack; a thread meeting it after another said so only counts it.
void noteHostFailure(t_gfTask* task, const char* what, const char* shown) {
  if (platLastErrorIsNoSpace() && task->shared->diskFull.exchange(true))
    skipFile(task);
  else
    gfNoteTaskMessage(task, "%s '%s': %s", what, shown, platLastError());
}

void tellDone(t_gfShared* shared, const t_gfTaskFile* f) {
  long files = ++shared->filesDone;
  long long bytes = shared->bytesDone += (std::uint32_t)f->dataSize;
  gfTellProgress(files, shared->filesAll, bytes, shared->bytesAll);
}

// Writes a file's data to out; the bytes written (fewer when the group ended early), or -1
// after an error.
long long copyData(PlatHandle group, t_gfWindow* window, const t_gfTaskFile* f, PlatHandle out) {
  long long from = f->dataOffset, size = f->dataSize;
  if (!window->bytes || size > kWindowedFileMax) {
    window->length = 0;  // the window may carry the bytes: what it held is gone
    return platCopyRangeVia(group, from, out, 0, size, window->bytes, (size_t)kWindowSize);
  }
  if (from < window->start || from + size > window->start + window->length) {
    window->start = from;
    window->length = platReadAt(group, from, window->bytes, (size_t)kWindowSize);
    if (window->length < 0) {
      window->length = 0;
      return -1;
    }
  }
  long long have = window->start + window->length - from;
  long long count = have < size ? have : size;
  long long written = platWriteAt(out, 0, window->bytes + (from - window->start), (size_t)count);
  return written < 0 ? -1 : written;
}

// Decides the spelling before anything is made or emptied. A name met before in this
// unpack looks at the directory afresh (the other spelling may be ours); otherwise the
// names the directory held before the unpack tell, and a level made by it holds none.
// False, after noting why, when the directory could not be listed: the file is not written.
bool chooseSpelling(t_gfTask* task, const t_gfTaskFile* f, const char* name, t_gfTarget* t) {
  const char* last = std::strrchr(name, '\\');
  const char* stored = last ? last + 1 : name;
  t->leaf = stored;
  t->beside = false;
  t->token = -1;
  t->temp[0] = 0;
  t->own = f->recheck ? gfReadListing(task->dir) : nullptr;
  t->names = f->recheck ? t->own : task->dirFresh ? nullptr : task->listing;
  if (!f->recheck && task->dirFresh) return true;
  t_gfSpelling spelling = gfFindSpelling(t->names, stored, t->other);
  if (spelling == GF_SPELLING_FAILED) {
    char dir[GF_NAME_MAX + 1], shownDir[GF_NAME_MAX + 1], shown[GF_NAME_MAX + 1];
    std::snprintf(dir, sizeof dir, "%.*s", last ? (int)(last - name) : 1, last ? name : ".");
    gfShownPath(dir, shownDir, sizeof shownDir);
    gfShownPath(name, shown, sizeof shown);
    gfNoteTaskMessage(task, "cannot unpack '%s': cannot list directory '%s' to find the file "
                      "it replaces: %s", shown, shownDir, gfListingFailure(t->names));
    return false;
  }
  if (spelling == GF_SPELLING_OTHER) t->leaf = t->other;
  t->beside = spelling == GF_SPELLING_EXACT || spelling == GF_SPELLING_OTHER;
  return true;
}

// Gives the written file its stored date and time; a pair that is no valid date leaves the
// time of writing. False when the host refused.
bool setStoredDate(PlatHandle out, const t_gfTaskFile* f) {
  std::int64_t time;
  return !platDosToTime(f->date, f->time, &time) || platSetWriteTime(out, time) == 0;
}

// Whether the file open on existing (size bytes) holds exactly the stored bytes of f: read
// in pieces beside the group's, from the window where it holds them.
bool holdsStoredBytes(PlatHandle group, const t_gfWindow* window, const t_gfTaskFile* f,
                      PlatHandle existing, long long size) {
  if (size != f->dataSize) return false;
  constexpr long kPiece = 16 * 1024;
  unsigned char mine[kPiece], stored[kPiece];
  for (long long done = 0; done < size;) {
    long piece = size - done < kPiece ? (long)(size - done) : kPiece;
    long long from = f->dataOffset + done;
    const unsigned char* theirs = stored;
    if (window->bytes && from >= window->start &&
        from + piece <= window->start + window->length)
      theirs = window->bytes + (from - window->start);
    else if (platReadAt(group, from, stored, (size_t)piece) != piece)
      return false;
    if (platReadAt(existing, done, mine, (size_t)piece) != piece ||
        std::memcmp(mine, theirs, (size_t)piece) != 0)
      return false;
    done += piece;
  }
  return true;
}

// An update writes nothing where the file already holds the stored bytes: it is only dated
// as the unpack dates what it writes (now, or the stored date). False when the file must be
// written: it differs, is no plain file of its own (a link, a second name, another user's),
// is the group being read, or could not be dated.
bool keepUnchanged(PlatHandle group, t_gfTask* task, const t_gfTaskFile* f, t_gfWindow* window,
                   const t_gfTarget* t) {
  long long size = -1;
  PlatHandle existing = platOpenKeepableInDir(task->dir, t->leaf, &size);
  if (existing == INVALID_HANDLE) return false;
  bool kept = !platIsSameFileInDir(task->dir, t->leaf, group) &&
              holdsStoredBytes(group, window, f, existing, size) &&
              ((task->flags & GF_UNPACK_STORED_DATES) ? setStoredDate(existing, f)
                                                     : platTouch(existing) == 0);
  platClose(existing);  // only read from and dated: nothing to lose on its close
  return kept;
}

// Opens the file that receives the bytes: a new name made in place, or a file beside the
// one there (a spare of the thread's where one fits). INVALID_HANDLE after noting why in the
// task.
PlatHandle openTarget(t_gfTask* task, const t_gfTaskFile* f, const t_gfWindow* window,
                      const char* name, t_gfTarget* t, const char* shown) {
  if (!t->beside) {
    int taken = 0;
    PlatHandle out = platCreateGuardedInDir(task->dir, t->leaf, &t->token, &taken);
    if (out != INVALID_HANDLE || !taken) {
      if (out == INVALID_HANDLE) noteHostFailure(task, "cannot create", shown);
      return out;
    }
    t->beside = true;  // made meanwhile, or no listing told of it
  }
  // The group being read stays as it is, whatever name reaches it: replaced, its later
  // entries would be read from a file no longer the user's.
  if (platIsSameFileInDir(task->dir, t->leaf, task->group)) {
    gfNoteTaskMessage(task, "refusing to unpack '%s': '%s' is the group file being read", name,
                      shown);
    return INVALID_HANDLE;
  }
  PlatHandle out = INVALID_HANDLE;
  if (window->spares)
    out = platTakeSpareInDir(window->spares, task->dir, t->leaf, f->dataSize, t->temp,
                             sizeof t->temp, &t->token);
  if (out == INVALID_HANDLE)
    out = platCreateBesideInDir(task->dir, t->leaf, t->temp, sizeof t->temp, &t->token);
  if (out == INVALID_HANDLE) noteHostFailure(task, "cannot create", shown);
  return out;
}

// The file's bytes, date and close; false (the file dropped, a message noted) on failure.
bool fillTarget(PlatHandle group, t_gfTask* task, const t_gfTaskFile* f, t_gfWindow* window,
                PlatHandle out, t_gfTarget* t, const char* shown) {
  const char* written = t->beside ? t->temp : t->leaf;
  long long copied = copyData(group, window, f, out);
  if (copied != f->dataSize) {
    if (copied < 0)
      noteHostFailure(task, "cannot write", shown);
    else
      gfNoteTaskMessage(task, "cannot write '%s': the group file ended early", shown);
    platClose(out);
    platDropGuardedInDir(task->dir, written, t->token);
    return false;
  }
  // Every byte of a new file is in: an interrupt from here on leaves it whole.
  if (!t->beside) platUnguardPartialFile(t->token);
  if ((task->flags & GF_UNPACK_STORED_DATES) && !setStoredDate(out, f))
    gfNoteTaskMessage(task, "cannot set the date of '%s': %s", shown, platLastError());  // file stays
  if (platClose(out) != 0) {
    gfNoteTaskMessage(task, "cannot write '%s': %s", shown, platLastError());
    if (t->beside)
      platDropGuardedInDir(task->dir, written, t->token);
    else
      platRemoveInDir(task->dir, written);
    return false;
  }
  return true;
}

// The file being written, for the names its clean-up removed beside it.
struct t_gfTold {
  t_gfTask* task;
  const char* name;  // stored
};

void tellRemoved(const char* removed, void* context) {
  auto* told = static_cast<t_gfTold*>(context);
  char shown[GF_NAME_MAX + 1];
  gfShownHostPath(told->name, removed, shown, sizeof shown);
  gfNoteTaskNotice(told->task, "removed '%s', a temporary file that a killed process left",
                   shown);
}

// Writes the file's bytes unless it already holds them; true once the name holds them.
bool placeFile(PlatHandle group, t_gfTask* task, const t_gfTaskFile* f, t_gfWindow* window,
               const char* name, t_gfTarget* t) {
  if (t->beside && keepUnchanged(group, task, f, window, t)) return true;
  char shown[GF_NAME_MAX + 1];
  gfShownHostPath(name, t->leaf, shown, sizeof shown);
  PlatHandle out = openTarget(task, f, window, name, t, shown);
  if (out == INVALID_HANDLE || !fillTarget(group, task, f, window, out, t, shown)) return false;
  if (!t->beside) return true;
  // The old copy is kept to take a later file's bytes, where the host allows.
  int replaced = window->spares ? platReplaceKeepingInDir(window->spares, task->dir, t->temp,
                                                          t->leaf, t->token)
                                : platReplaceGuardedInDir(task->dir, t->temp, t->leaf, t->token);
  if (replaced == 0) return true;
  gfNoteTaskMessage(task, "cannot create '%s': %s", shown, platLastError());
  return false;
}

// Writes one file of a task. A file that cannot be finished is removed, and so is a new
// file being written when the tool is interrupted; a file that was there keeps its bytes
// until the new ones are complete.
void writeFile(PlatHandle group, t_gfTask* task, const t_gfTaskFile* f, t_gfWindow* window) {
  if (task->shared->diskFull) {
    skipFile(task);
    return;
  }
  const char* name = task->text + f->name;
  t_gfTarget t;
  if (chooseSpelling(task, f, name, &t) && placeFile(group, task, f, window, name, &t)) {
    t_gfTold told{task, name};
    gfRemoveStaleTemps(t.names, task->dir, t.leaf, tellRemoved, &told);
    tellDone(task->shared, f);
  }
  gfReleaseListing(t.own);
}

}  // namespace

namespace {

void noteLine(t_gfTask* task, const char* format, va_list args) {
  char line[2 * PLAT_PATH_MAX];
  std::vsnprintf(line, sizeof line, format, args);
  task->messages.append(line, (std::uint32_t)std::strlen(line) + 1, ENGINE_HERE);
}

}  // namespace

void gfNoteTaskMessage(t_gfTask* task, const char* format, ...) {
  task->failures++;  // without memory for its words the failure is still counted
  va_list args;
  va_start(args, format);
  noteLine(task, format, args);
  va_end(args);
}

void gfNoteTaskNotice(t_gfTask* task, const char* format, ...) {
  va_list args;
  va_start(args, format);
  noteLine(task, format, args);
  va_end(args);
}

void gfShownHostPath(const char* name, const char* leaf, char* out, size_t size) {
  const char* last = std::strrchr(name, '\\');
  size_t dir = last ? (size_t)(last - name) + 1 : 0;
  char path[GF_NAME_MAX + GF_PATH_MAX + 2];
  std::snprintf(path, sizeof path, "%.*s%s", (int)dir, name, leaf);
  gfShownPath(path, out, size);
}

void gfRunTask(PlatHandle group, t_gfTask* task, t_gfWindow* window) {
  for (int i = 0; i < task->fileCount; i++) writeFile(group, task, &task->files[i], window);
}
