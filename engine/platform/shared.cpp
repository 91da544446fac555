// The host layer's parts that are the same on every host: temporary names and the list of
// them and of partly written files that an interrupt removes, the files made on that list,
// the start of a new file, positioned reads and writes, the buffered copy and the
// message-box hook.
#include "engine/platform/shared.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

namespace {

// A slot is free (0), being filled (1) or names a file to remove (2); the handlers read
// only slots in state 2. The unpacker changes its slots only inside the name gate, which a
// handler closes before it reads them. The name is a host path, or a name inside the held directory dir.
constexpr int kSlots = 64;  // the unpacker's threads each write one file at a time
struct t_tempSlot {
  std::atomic<int> state{0};
  PlatHandle dir;
  char path[PLAT_PATH_MAX];
};
t_tempSlot tempSlots[kSlots];

std::atomic<PlatMessageBoxHook> messageBoxHook{nullptr};

}  // namespace

int platArmTempNameIn(PlatHandle dir, const char* path) {
  if (strlen(path) >= PLAT_PATH_MAX) return -1;
  for (int i = 0; i < kSlots; i++) {
    int expected = 0;
    if (!tempSlots[i].state.compare_exchange_strong(expected, 1)) continue;
    tempSlots[i].dir = dir;
    strcpy(tempSlots[i].path, path);
    tempSlots[i].state.store(2);
    return i;
  }
  return -1;  // all taken: this file goes unguarded
}

int platArmTempName(const char* path) { return platArmTempNameIn(INVALID_HANDLE, path); }

void platDisarmTempName(int slot) {
  if (slot >= 0) tempSlots[slot].state.store(0);
}

void platRemoveArmedTempNames(void (*remove)(PlatHandle dir, const char* path)) {
  for (auto& slot : tempSlots)
    if (slot.state.load() == 2) remove(slot.dir, slot.path);
}

bool platTempName(const char* target, unsigned long processId, char* out, size_t outSize) {
  static std::atomic<unsigned> counter{0};
  unsigned n = ++counter;
  int length = snprintf(out, outSize, "%s" PLAT_TEMP_MARK "%lu-%u", target, processId, n);
  return length >= 0 && (size_t)length < outSize;
}

namespace {

// Reads the decimal number at *text (at least one digit, no sign, no leading zero unless it
// is 0 itself, no overflow) and moves past it.
bool readNumber(const char** text, unsigned long* value) {
  const char* p = *text;
  if (*p < '0' || *p > '9' || (p[0] == '0' && p[1] >= '0' && p[1] <= '9')) return false;
  unsigned long n = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    unsigned long next = n * 10 + (unsigned long)(*p - '0');
    if (next / 10 != n) return false;
    n = next;
  }
  *value = n;
  *text = p;
  return true;
}

}  // namespace

bool platIsTempNameOf(const char* targetName, const char* name, unsigned long* processId) {
  size_t length = strlen(targetName), mark = strlen(PLAT_TEMP_MARK);
  if (strncmp(name, targetName, length) != 0 || strncmp(name + length, PLAT_TEMP_MARK, mark) != 0)
    return false;
  const char* p = name + length + mark;
  unsigned long pid, n;
  if (!readNumber(&p, &pid) || *p++ != '-' || !readNumber(&p, &n) || *p) return false;
  *processId = pid;
  return true;
}

long platSplitFindPattern(PlatFind* find, const char* pattern, bool driveColon) {
  find->dir = nullptr;
  find->unreadable = 0;
  find->device = find->inode = 0;
  find->withBroken = 0;
  find->namesOnly = 0;
  const char* name = pattern;
  for (const char* c = pattern; *c; c++)
    if (*c == '\\' || *c == '/' || (driveColon && *c == ':' && c == pattern + 1)) name = c + 1;
  size_t nameLength = strlen(name), dirLength = (size_t)(name - pattern);
  if (nameLength == 0 || nameLength >= sizeof find->pattern || dirLength >= sizeof find->hostDir)
    return -1;
  memcpy(find->pattern, name, nameLength + 1);
  memcpy(find->hostDir, pattern, dirLength);
  find->hostDir[dirLength] = 0;
  return (long)dirLength;
}

const char* platLastComponent(const char* path) {
  const char* last = path;
  for (const char* p = path; *p; p++)
    if (*p == '/' || *p == '\\') last = p + 1;
  return last;
}

// A temporary name is debris once its process is gone.
int platIsStaleTempNameOf(const char* targetName, const char* name) {
  unsigned long pid;
  return platIsTempNameOf(targetName, name, &pid) && platHostProcessGone(pid);
}

int platMakeTempBeside(const char* target, char* temp, size_t tempSize, PlatMakeNamed make,
                       void* context) {
  for (int attempt = 0; attempt < 100; attempt++) {
    if (!platTempName(target, platHostProcessId(), temp, tempSize)) {
      temp[0] = 0;
      return platHostFailNameTooLong();
    }
    int made = make(temp, context);
    if (made > 0) return 0;
    if (made < 0) break;
  }
  temp[0] = 0;
  return -1;
}

// ---- a new file's start and its discard -----------------------------------------------------

int platNewFileStart(PlatNewFile* file, const char* path) {
  file->handle = INVALID_HANDLE;
  file->anonymous = 0;
  file->durable = 1;
  file->slot = -1;
  file->temp[0] = 0;
  file->debrisRemoved = 0;
  file->debris[0] = 0;
  if (!platHostPath(path, file->target, sizeof file->target)) return platHostFailNameTooLong();
  return 0;
}

void platNewFileDiscard(PlatNewFile* file) {
  if (file->handle != INVALID_HANDLE) platHostDropHandle(file->handle);
  file->handle = INVALID_HANDLE;
  if (file->temp[0]) platHostDropPath(file->temp);
  platDisarmTempName(file->slot);
  file->slot = -1;
}

// ---- the gate between writing threads and the interrupt handler -----------------------------

namespace {
std::atomic<int> gateUsers{0};       // threads inside platEnterNameGate .. platLeaveNameGate
std::atomic<bool> gateClosed{false};  // a handler is removing the list: nobody enters again
}  // namespace

void platEnterNameGate() {
  for (;;) {
    // Counted first, then the look: a handler closing meanwhile waits for this thread.
    gateUsers.fetch_add(1);
    if (!gateClosed.load()) return;
    gateUsers.fetch_sub(1);
    platHostParkForever();
  }
}

void platLeaveNameGate() { gateUsers.fetch_sub(1); }

// Outside the gate: a handler that still saw the slot armed removes a file that was complete
// a moment before, which leaves it absent, never partial.
void platUnguardPartialFile(int token) { platDisarmTempName(token); }

void platCloseNameGate() {
  gateClosed.store(true);
  while (gateUsers.load() > 0) platHostYield();
}

void platForgetOtherWriters() {
  for (auto& slot : tempSlots) slot.state.store(0);
  gateUsers.store(0);
}

// ---- files made on the interrupt list ------------------------------------------------------

namespace {

// A file to make on the list: what is asked, and what came of it.
struct t_making {
  PlatHandle dir;
  const char* name;  // the file's name, or (temp set) the name the temporary one is beside
  char* temp;        // the temporary name made, tempSize bytes; null: name itself is made
  size_t tempSize;
  int* token;
  int taken;  // the name was there already
  PlatHandle made;
};

// Makes the file name in the directory, on the list from before it exists so that a handler
// never misses it; off the list again when it could not be made.
void makeNamed(t_making* m, const char* name) {
  *m->token = platArmTempNameIn(m->dir, name);
  m->made = platHostCreateNewInDir(m->dir, name, &m->taken);
  if (m->made == INVALID_HANDLE) {
    platDisarmTempName(*m->token);
    *m->token = -1;
  }
}

int makeTemp(const char* temp, void* context) {
  auto* m = static_cast<t_making*>(context);
  makeNamed(m, temp);
  return m->made != INVALID_HANDLE ? 1 : m->taken ? 0 : -1;
}

// Inside the name gate.
void makeGuarded(void* context) {
  auto* m = static_cast<t_making*>(context);
  *m->token = -1;
  if (!m->temp)
    makeNamed(m, m->name);
  else
    platMakeTempBeside(m->name, m->temp, m->tempSize, makeTemp, m);  // made tells the outcome
}

}  // namespace

PlatHandle platCreateGuardedInDir(PlatHandle dir, const char* name, int* token, int* taken) {
  t_making m{dir, name, nullptr, 0, token, 0, INVALID_HANDLE};
  platHostInNameGate(makeGuarded, &m);
  *taken = m.taken;
  return m.made;
}

PlatHandle platCreateBesideInDir(PlatHandle dir, const char* name, char* temp, size_t tempSize,
                                 int* token) {
  t_making m{dir, name, temp, tempSize, token, 0, INVALID_HANDLE};
  platHostInNameGate(makeGuarded, &m);
  return m.made;
}

// ---- positioned reads and writes, and the buffered copy -------------------------------------

long long platReadAt(PlatHandle h, long long offset, void* buffer, size_t count) {
  return platHostTransferAt(h, offset, static_cast<char*>(buffer), count, false);
}

long long platWriteAt(PlatHandle h, long long offset, const void* buffer, size_t count) {
  return platHostTransferAt(h, offset, static_cast<char*>(const_cast<void*>(buffer)), count, true);
}

long long platCopyRangeVia(PlatHandle src, long long srcOffset, PlatHandle dst,
                           long long dstOffset, long long count, void* buffer, size_t size) {
  constexpr long long kPage = 4096;
  if (!buffer || size == 0 || (srcOffset - dstOffset) % kPage == 0)
    return platCopyRange(src, srcOffset, dst, dstOffset, count);
  long long done = 0;
  while (done < count) {
    size_t piece = count - done < (long long)size ? (size_t)(count - done) : size;
    long long got = platReadAt(src, srcOffset + done, buffer, piece);
    if (got < 0 || platWriteAt(dst, dstOffset + done, buffer, (size_t)got) != got) return -1;
    done += got;
    if (got < (long long)piece) break;  // the source ended early
  }
  return done;
}

long long platReadSome(PlatHandle h, long long offset, void* buffer, size_t count) {
  return platHostTransferOnce(h, offset, static_cast<char*>(buffer), count, false);
}

long long platWriteSome(PlatHandle h, long long offset, const void* buffer, size_t count) {
  return platHostTransferOnce(h, offset, static_cast<char*>(const_cast<void*>(buffer)), count,
                              true);
}

long long platCopyBuffered(PlatHandle src, long long srcOffset, PlatHandle dst, long long dstOffset,
                           long long count) {
  char buffer[1 << 16];
  long long done = 0;
  while (done < count) {
    long long want = count - done;
    size_t chunk = want < (long long)sizeof buffer ? (size_t)want : sizeof buffer;
    long long r = platReadAt(src, srcOffset + done, buffer, chunk);
    if (r < 0) return -1;
    if (r == 0) break;
    if (platWriteAt(dst, dstOffset + done, buffer, (size_t)r) != r) return -1;
    done += r;
  }
  return done;
}

PlatMessageBoxHook platSetMessageBoxHook(PlatMessageBoxHook hook) {
  return messageBoxHook.exchange(hook);
}

void platMessageBox(const char* text, const char* caption) {
  if (PlatMessageBoxHook hook = messageBoxHook.load()) return hook(text, caption);
  platHostMessageBox(text, caption);
}
