// grp's usage line and help text of each command, for "grp --help", "grp COMMAND --help" and
// the usage errors of the commands.
#include "grp/help.h"

#include <cstdio>
#include <cstring>

namespace {

struct t_grpHelp {
  const char* name;
  const char* usage;
  const char* help;
};

const t_grpHelp kHelp[] = {
    {"list", "grp list FILE.grp [-l] [--json]",
     "Prints the stored names in directory order, one a line. -l adds the size, the stored\n"
     "date and time (UTC, ISO 8601; 'no date' for one the format cannot hold) and the data\n"
     "offset; --json prints one JSON array of objects with the keys name, size, mtime (null\n"
     "for no date) and offset.\n"},
    {"verify", "grp verify [--sums SUMS] [--json] FILE.grp",
     "Checks the group's structure: the header and every directory entry, the builder's\n"
     "order, data areas inside the file and not overlapping, names the unpacker accepts.\n"
     "Prints one line per problem on stderr and exits 1, or a summary and exits 0. Names\n"
     "another host reads differently (AUX, what?.txt, a trailing dot or space, bytes outside\n"
     "ASCII) are warnings: 'not portable'. --json prints one object with the keys file, ok,\n"
     "entries, dirSize, dataBytes, problems and warnings (arrays of objects with entry, name\n"
     "and reason). The format has no checksum: the stored data itself cannot be checked\n"
     "without a sums file. --sums SUMS checks the stored bytes against SUMS (as grp sum or\n"
     "Tarnpak --sums wrote it, or sha256sum over the unpacked files): one line per entry that\n"
     "differs, is missing from the group or is not listed; exit status 0 when all match, 1\n"
     "when not, 2 when SUMS or the group cannot be read, 3 when SUMS names another version\n"
     "of the group (its first line, '# tarnpak group', as Tarnpak --sums and grp sum write\n"
     "it): stale sums, no sign of damage. With --sums, --json prints one object with the\n"
     "keys file, sums, ok, stale, entries and problems (objects with name, line and reason).\n"},
    {"cat", "grp cat FILE.grp NAME",
     "Writes one stored file's bytes to standard output. NAME is matched without regard to\n"
     "case, with / or \\ between levels.\n"},
    {"extract", "grp extract FILE.grp [-C DIR] [-v] [--touch] [MASK...]",
     "Writes the stored files below DIR (default: the current directory, made when missing;\n"
     "also -CDIR, --directory=DIR) under their stored names, like Tarnpak's unpacking; with\n"
     "masks, only the names matching one of them. '*' and '?' match any characters, case is\n"
     "ignored, '*.*' also matches names without a dot, / and \\ are the same. Names that\n"
     "would leave DIR are refused. Each file gets its stored date and time (--touch: the\n"
     "time of extraction, as Tarnpak gives). -v prints each name; on a terminal a run longer\n"
     "than a second shows a progress line on stderr.\n"},
    {"table", "grp table GAMEDIR|FILE.grp [--json]",
     "Prints the engine's merged file table of a game directory (or of one group file by\n"
     "itself): every name with its size, date and time, and where the copy the engine uses\n"
     "lives (a loose file, or which group file). --json prints objects with the keys name,\n"
     "size, mtime and source (the group file's name, or null for a loose file).\n"},
    {"mount", "grp mount GAMEDIR|FILE.grp MOUNTPOINT",
     "Mounts the merged file table of a game directory (or one group file) read-only at\n"
     "MOUNTPOINT (FUSE) and serves it in the foreground until 'fusermount3 -u MOUNTPOINT',\n"
     "SIGINT or SIGTERM unmounts it. Directories come from the backslash levels of the\n"
     "names; names are looked up without regard to case.\n"},
    {"add", "grp add [-C DIR] [--sums SUMS] GROUP PATH...",
     "Adds files to GROUP (made when missing) under the name their path below DIR (default:\n"
     "the current directory) gives, upper-cased, \\ between levels; a directory adds its\n"
     "files recursively, leaving out directories whose names begin with a dot. An entry of\n"
     "the same name is replaced, every copy of it. The result is the group Tarnpak would\n"
     "build from that set of files; the other entries keep their bytes, date and time. Names\n"
     "Tarnpak refuses, broken symbolic links and files a group cannot hold, are refused;\n"
     "names another host reads differently are added with Tarnpak's warning, 'not portable'.\n"
     "On any failure GROUP stays as it was.\n"
     "--sums SUMS writes the new group's sums to SUMS.\n"},
    {"rm", "grp rm [--dry-run] [--sums SUMS] GROUP NAME...",
     "Removes every copy of each NAME (any case, / or \\ between levels) from GROUP. A NAME\n"
     "that is a directory level removes everything below it; one holding * or ? is a mask\n"
     "matched with the whole stored name, as extract's. A NAME that matches nothing is an\n"
     "error, and GROUP then stays as it was. --dry-run prints the stored names that would go\n"
     "and changes nothing. --sums SUMS writes the new group's sums to SUMS.\n"},
    {"diff", "grp diff GROUP_A GROUP_B [--json]",
     "Prints one line per difference: 'only in A: NAME', 'only in B: NAME', 'size: NAME\n"
     "(...)', 'bytes: NAME' (same size, other bytes), 'date: NAME (...)' (same bytes, another\n"
     "date). Copies of one name are compared in directory order. --json prints an array of\n"
     "objects with the keys name, change, a and b (size and mtime, or null). Exit status 0\n"
     "when the groups hold the same, 1 when they differ, 2 on trouble.\n"},
    {"patch", "grp patch OLD.grp NEW.grp PATCH.grp [--json] [--sums SUMS]",
     "Writes PATCH.grp holding every file of NEW.grp that OLD.grp lacks or holds with other\n"
     "bytes (compared byte for byte), and nothing else: installed beside OLD.grp in a game\n"
     "directory, it makes the engine's table show NEW.grp's files, whatever the groups are\n"
     "called. Each copy in the patch is dated later than OLD.grp's copy of its name: where\n"
     "NEW.grp's own date is not later (a file put back to an older version, a change within\n"
     "the two seconds a date can tell apart), the patch stores OLD.grp's date plus two\n"
     "seconds, with a warning naming the file. A patch cannot remove a file: each name\n"
     "OLD.grp holds and NEW.grp lacks is named in a warning ('stays visible'). Identical\n"
     "groups give an empty patch, with a warning. The status is 0 unless something failed.\n"
     "--json prints one object: old, new, patch, entries (name, change 'added' or 'changed',\n"
     "size, mtime as stored, redated, newMtime) and staysVisible (name, size, mtime).\n"
     "--sums SUMS writes the patch's sums to SUMS.\n"},
    {"sum", "grp sum GROUP... [--json]",
     "Prints the SHA-256 of every stored file as sha256sum prints it for the unpacked files:\n"
     "'HEX  NAME', NAME as unpacking writes it ('/' between levels; a backslash, newline or\n"
     "carriage return escaped as sha256sum does, other bytes as they are, which sha256sum -c\n"
     "reads back). Of several copies of a name, the one\n"
     "unpacking leaves (the last). So 'grp sum G > S; grp extract G -C out; cd out;\n"
     "sha256sum -c ../S' checks an unpacked tree, and 'grp verify --sums S G' the group.\n"
     "--json prints an array of objects with the keys group, name, size and sha256.\n"},
    {"check", "grp check GAMEDIR [-v] [--json]",
     "Reads GAMEDIR's group.cfg exactly as Tarnpak does and prints, line by line, the mask\n"
     "it is taken as, whether it is recursive and how many files it takes (-v: which, by\n"
     "stored name). Warns as Tarnpak does (a line finding nothing, lines never read, a false\n"
     "recursion flag, newgrp.grp of the current directory inside the tree, ...) and of\n"
     "names that would be stored twice. --json prints one object: lines (line, text, mask,\n"
     "recursive, files, names) and warnings. Exit status 0 without warnings, 1 with, 2 when\n"
     "the list cannot be read.\n"},
};

const t_grpHelp* findHelp(const char* command) {
  for (const t_grpHelp& h : kHelp)
    if (std::strcmp(h.name, command) == 0) return &h;
  return nullptr;
}

}  // namespace

const char* grpUsageLine(const char* command) {
  const t_grpHelp* h = findHelp(command);
  return h ? h->usage : nullptr;
}

void grpPrintHelp(const char* command) {
  const t_grpHelp* h = findHelp(command);
  if (h) std::printf("Usage: %s\n%s", h->usage, h->help);
}

void grpPrintUsage(FILE* to) {
  std::fputs("Usage:\n", to);
  for (const t_grpHelp& h : kHelp) std::fprintf(to, "  %s\n", h.usage);
  std::fputs("Run 'grp COMMAND --help' for one command, 'man grp' for all of them.\n", to);
}
