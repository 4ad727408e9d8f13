// Loading a plug-in library at run time and reading its catalogue.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kx/kxCatalog.h"
#include "kxhost/Runtime.h"

namespace kxhost {

class KX_API LoadError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class KX_API Plugin {
public:
  // Opens the library, reads kxGetInfos_Dll and kxGetInfos_Procs and resolves every entry and
  // dialog export its records name. Throws LoadError naming the library and the missing symbol,
  // unless allowMissing is set: then a missing export resolves to null and running it is an error.
  // The empty path stands for the program itself, for a program linked with the plug-in's objects
  // that exports its entries.
  explicit Plugin(const std::string& path, bool allowMissing = false);
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  const std::string& path() const { return path_; }
  const LibraryDescriptor* library() const { return library_; }
  const std::vector<const ProcessorDescriptor*>& records() const { return records_; }

  // Record by entry name ("_AddImage") or display name ("AddImage"); null when unknown.
  const ProcessorDescriptor* find(std::string_view name) const;
  kxEntryFn entry(const ProcessorDescriptor* record) const;   // null only when allowed missing
  kxEntryFn dialog(const ProcessorDescriptor* record) const;  // null without a dialog

  // Exports named by the records that the library does not have.
  const std::vector<std::string>& missing() const { return missing_; }

  // A new instance of the processor with its catalogue defaults.
  Instance instantiate(const ProcessorDescriptor* record) const;

  // The RasterKit plug-in as built beside this host (overridden by KX_PLUGIN in the environment).
  static std::string defaultPath();

private:
  void* resolve(const char* symbol) const;

  std::string path_;
  void* handle_ = nullptr;
  const LibraryDescriptor* library_ = nullptr;
  std::vector<const ProcessorDescriptor*> records_;
  std::vector<kxEntryFn> entries_;
  std::vector<kxEntryFn> dialogs_;
  std::vector<std::string> missing_;
};

}  // namespace kxhost
