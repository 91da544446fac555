// The start-up scan, which makes the table: of the root (its group files, then its loose
// files) or of one group file.
#pragma once

// Scans root into a new table in table order.
void gfScanIntoTable(const char* root);
// The table of the one group file at path (gfStartGroup).
void gfScanGroupIntoTable(const char* path);
