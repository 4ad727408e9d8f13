// Loading a plug-in library at run time and resolving the exports its catalogue names.
#include "kxhost/Plugin.h"

#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#ifndef KX_DEFAULT_PLUGIN
#define KX_DEFAULT_PLUGIN "libRasterKit.so"
#endif

namespace kxhost {

namespace {

void* openLibrary(const std::string& path, std::string& error) {
#if defined(_WIN32)
  HMODULE h = path.empty() ? GetModuleHandleA(nullptr) : LoadLibraryA(path.c_str());
  if (!h) error = "error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(h);
#else
  void* h = dlopen(path.empty() ? nullptr : path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* e = dlerror();
    error = e ? e : "unknown error";
  }
  return h;
#endif
}

void closeLibrary(void* handle) {
#if defined(_WIN32)
  FreeLibrary(reinterpret_cast<HMODULE>(handle));
#else
  dlclose(handle);
#endif
}

void* symbol(void* handle, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle), name));
#else
  return dlsym(handle, name);
#endif
}

template <class Fn>
Fn asFunction(void* p) {
  Fn fn;
  static_assert(sizeof(fn) == sizeof(p));
  std::memcpy(&fn, &p, sizeof(p));
  return fn;
}

}  // namespace

Plugin::Plugin(const std::string& path, bool allowMissing) : path_(path) {
  std::string error;
  handle_ = openLibrary(path, error);
  if (!handle_) throw LoadError("cannot load plug-in " + path + ": " + error);
  try {
    auto getDll = asFunction<kxGetInfosDllFn>(resolve("kxGetInfos_Dll"));
    auto getProcs = asFunction<kxGetInfosProcsFn>(resolve("kxGetInfos_Procs"));
    library_ = getDll();
    const ProcessorList* list = getProcs();
    if (!library_ || !list || !list->records) throw LoadError("plug-in " + path + " returned an empty catalogue");
    for (const ProcessorDescriptor** r = list->records; *r; ++r) {
      const ProcessorDescriptor* record = *r;
      if (!record->entry || !record->inputs || !record->outputs) {
        throw LoadError("plug-in " + path + ": catalogue record " + std::to_string(records_.size() + 1) +
                        " lacks its entry name or pin lists");
      }
      records_.push_back(record);
      void* entry = symbol(handle_, record->entry);
      if (!entry) missing_.push_back(record->entry);
      entries_.push_back(asFunction<kxEntryFn>(entry));
      void* dialog = nullptr;
      if (record->dialog && record->dialog->function) {
        dialog = symbol(handle_, record->dialog->function);
        if (!dialog) missing_.push_back(record->dialog->function);
      }
      dialogs_.push_back(asFunction<kxEntryFn>(dialog));
    }
    if (!missing_.empty() && !allowMissing) {
      throw LoadError("plug-in " + path + " does not export " + missing_.front() + ", which its catalogue names");
    }
  } catch (...) {
    if (!path_.empty()) closeLibrary(handle_);
    throw;
  }
}

Plugin::~Plugin() {
  // The program's own handle is not counted on Windows and so must not be released.
  if (handle_ && !path_.empty()) closeLibrary(handle_);
}

void* Plugin::resolve(const char* name) const {
  void* p = symbol(handle_, name);
  if (!p) throw LoadError("plug-in " + path_ + " does not export " + name);
  return p;
}

const ProcessorDescriptor* Plugin::find(std::string_view name) const {
  for (const ProcessorDescriptor* r : records_) {
    if (name == r->entry) return r;
  }
  for (const ProcessorDescriptor* r : records_) {
    if (r->displayName && name == r->displayName) return r;
  }
  return nullptr;
}

namespace {
std::size_t indexOf(const std::vector<const ProcessorDescriptor*>& records, const ProcessorDescriptor* record) {
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i] == record) return i;
  }
  throw std::invalid_argument("the record does not belong to this plug-in");
}
}  // namespace

kxEntryFn Plugin::entry(const ProcessorDescriptor* record) const { return entries_[indexOf(records_, record)]; }
kxEntryFn Plugin::dialog(const ProcessorDescriptor* record) const { return dialogs_[indexOf(records_, record)]; }

Instance Plugin::instantiate(const ProcessorDescriptor* record) const {
  return Instance(record, entry(record), dialog(record));
}

std::string Plugin::defaultPath() {
  const char* env = std::getenv("KX_PLUGIN");
  return env && *env ? env : KX_DEFAULT_PLUGIN;
}

}  // namespace kxhost
