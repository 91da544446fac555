// The grp commands: each takes the whole command line (argv[1] is the command's name) and
// returns the exit status.
#pragma once

int grpList(int argc, char** argv);
int grpVerify(int argc, char** argv);
int grpCat(int argc, char** argv);
int grpExtract(int argc, char** argv);
int grpTable(int argc, char** argv);
int grpMount(int argc, char** argv);
int grpAdd(int argc, char** argv);
int grpRm(int argc, char** argv);
int grpDiff(int argc, char** argv);
int grpPatch(int argc, char** argv);
int grpCheck(int argc, char** argv);
int grpSum(int argc, char** argv);
// grp verify --sums: the group's stored bytes against a sums file; GRP_OK when every entry
// matches, GRP_FAILED after naming each that differs, is missing or is not listed,
// GRP_USAGE when the sums file or the group cannot be read, GRP_STALE when the sums name
// another version of the group. With json, one object on standard output says the same.
int grpVerifySums(const char* group, const char* sums, bool json);
