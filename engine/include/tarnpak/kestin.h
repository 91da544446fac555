// The engine library's services: tracked allocation, byte-buffer readers, the clock and the
// engine's line output.
#pragma once
#include <cstddef>

#include "tarnpak/engine_api.h"

// ---- tracked allocator -------------------------------------------------------------------
// Every block records its source unit, line and size; live counters are kept per unit.
// Returns null when the memory cannot be had.
ENGINE_API void* memNewDbg(unsigned int size, const char* file, int line);
ENGINE_API void memDeleteDbg(void* block);  // null is ignored

// ---- byte-buffer readers -----------------------------------------------------------------
// Little-endian, unaligned; each returns the pointer behind what it read, for chaining.
ENGINE_API unsigned char* get_w(unsigned char* p, unsigned short& value);
ENGINE_API unsigned char* get_i(unsigned char* p, int& value);
ENGINE_API unsigned char* get_a(unsigned char* p, void* dst, long count);

// ---- clock -------------------------------------------------------------------------------
// Seconds from a steady clock.
ENGINE_API double GetCurTime();

// ---- the engine's line output ------------------------------------------------------------
// Takes one complete line (no newline) with the channel arguments the debug printers pass.
typedef void (*t_lineSink)(int channel, int colour, const char* text, int flags);
ENGINE_API void kestinLineOutput(int channel, int colour, const char* text, int flags);
// Installs the sink lines go to and returns the previous one; null restores the default,
// which discards lines unless TARNPAK_DEBUG=1 is set in the environment (then: stderr).
ENGINE_API t_lineSink kestinSetLineSink(t_lineSink sink);
