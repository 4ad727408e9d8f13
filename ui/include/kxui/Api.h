// Export markers of the UI layer's shared library.
#pragma once

#if defined(_WIN32)
#if defined(KXUI_BUILDING)
#define KXUI_API __declspec(dllexport)
#else
#define KXUI_API __declspec(dllimport)
#endif
#else
#define KXUI_API __attribute__((visibility("default")))
#endif
