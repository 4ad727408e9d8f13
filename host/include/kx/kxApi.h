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
