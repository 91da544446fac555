// Marks the functions and records the engine library exports to the engine's other programs.
#pragma once

#define ENGINE_API __attribute__((visibility("default")))
