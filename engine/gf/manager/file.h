// GFILE handles (the operations themselves are in the public header): what the manager's
// other units use of them besides.
#pragma once
#include "tarnpak/gf.h"

// gfOpen of the record at index, for a caller that has already looked its name up (the
// cache, which opens a handle per file it reads); null when there is no such record or it
// cannot be opened.
GFILE* gfOpenRecord(long index);
