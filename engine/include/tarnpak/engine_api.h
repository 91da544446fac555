// Marks the functions and records the engine library exports to the engine's other programs,
// and the printf-style functions whose arguments the compiler can check.
#pragma once

#if defined(_WIN32)
// The DLL's own units export; programs using the DLL import; programs linking the static
// library (the tests) need neither.
#if defined(ENGINE_BUILDING_DLL)
#define ENGINE_API __declspec(dllexport)
#elif defined(ENGINE_STATIC)
#define ENGINE_API
#else
#define ENGINE_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define ENGINE_API __attribute__((visibility("default")))
#else
#define ENGINE_API
#endif

// ENGINE_PRINTF(f, a): argument f is a printf format whose values start at argument a.
// mingw's C++ run-time formats like C99 (not like msvcrt), hence gnu_printf there.
#if defined(__MINGW32__)
#define ENGINE_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define ENGINE_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define ENGINE_PRINTF(f, a)
#endif
