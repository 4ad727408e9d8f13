// Export and import markers for the host library and for plug-ins.
#pragma once

#if defined(_WIN32)
#if defined(KX_BUILDING_HOST)
#define KX_API __declspec(dllexport)
#else
#define KX_API __declspec(dllimport)
#endif
#define KX_PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define KX_API __attribute__((visibility("default")))
#define KX_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// printf-style checking of format arguments; the host formats with a C99 printf on every platform.
#if defined(__MINGW32__)
#define KX_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define KX_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KX_FORMAT(fmt, args)
#endif
