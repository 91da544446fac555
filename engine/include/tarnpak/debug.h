// The debug console: formatted output to the log file and, line by line, to the engine's
// line output; error text straight to the console; a key-state query.
#pragma once
#include "tarnpak/engine_api.h"

ENGINE_API void DebugStart();
ENGINE_API void DebugStop();
ENGINE_API void DebugAttachFile(const char* name);
ENGINE_API int DebugKeyPressed(int key);
// Log file unchanged; line output with "DBG: " before the line that follows each of these.
ENGINE_API void DebugPrintf(const char* format, ...) ENGINE_PRINTF(1, 2);
// As DebugPrintf, but leaves no prefix behind.
ENGINE_API void ConPrintf(const char* format, ...) ENGINE_PRINTF(1, 2);
// Straight to the console's error stream, in one write, unchanged.
ENGINE_API void W32ConPrintf(const char* format, ...) ENGINE_PRINTF(1, 2);
