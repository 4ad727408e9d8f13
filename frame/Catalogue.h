// The processor catalogue: one constant record per processor, in list order.
#pragma once

#include <cstddef>

#include "kx/kxApi.h"
#include "kx/kxCatalog.h"

namespace rk {

constexpr std::size_t kProcessorCount = 26;

// Record i of the list (0-based, catalogue order).
const ProcessorDescriptor& catalogueRecord(std::size_t i);
// Record by entry name, or null.
const ProcessorDescriptor* findRecord(const char* entry);

}  // namespace rk

KX_PLUGIN_EXPORT const LibraryDescriptor* kxGetInfos_Dll();
KX_PLUGIN_EXPORT const ProcessorList* kxGetInfos_Procs();
