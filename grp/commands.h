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
int grpCheck(int argc, char** argv);
