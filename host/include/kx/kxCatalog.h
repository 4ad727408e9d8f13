// The catalogue records a plug-in hands to the host: a fixed layout of one machine word per field,
// so that a 32-bit build lays every record out as 32-bit little-endian words without gaps.
#pragma once

#include <cstdint>

using kxWord = intptr_t;

// One (key, value) pair of an info table; a table ends with a pair of null pointers.
struct InfoPair {
  const char* key;
  const char* value;
};
using InfoTable = InfoPair;

struct LibraryDescriptor {
  kxWord kind;       // 4
  const char* text;  // ""
  kxWord count;      // 1
  const InfoTable* info;
};

struct DialogDescriptor {
  const char* kind;      // "L"
  const char* empty;     // ""
  const char* function;  // exported dialog function of the plug-in
  const char* blank;     // " "
};

// A list ends with a record of three zero words.
struct ParameterDescriptor {
  const char* name;
  kxWord type;              // kxType code: 2 (32-bit integer) or 4 (double)
  const char* defaultText;  // decimal comma for fractions: "0,1"
};

// A list ends with a record of five zero words; the position is the pin index.
struct PinDescriptor {
  const char* name;
  kxWord required;     // 1: must be connected; 0: optional, the processor asks whether it is
  kxWord typeMask;     // bit n accepts kxType code n
  kxWord defaultType;  // a code within the mask
  kxWord reserved;     // -1
};

struct ProcessorDescriptor {
  const char* entry;  // exported entry, e.g. "_AddImage"
  const char* displayName;
  const char* guid;                   // 8-4-4-4-12 hexadecimal digits
  const char* category;               // levels separated and ended by a backslash
  kxWord reserved;                    // -1
  const DialogDescriptor* dialog;     // null without a dialog
  const ParameterDescriptor* params;  // null without parameters
  const PinDescriptor* inputs;        // never null
  const PinDescriptor* outputs;       // never null
  const InfoTable* info;
};

// What kxGetInfos_Procs returns: (address of the null-terminated record list, 0).
struct ProcessorList {
  const ProcessorDescriptor** records;
  kxWord zero;
};

extern "C" {
typedef const LibraryDescriptor* (*kxGetInfosDllFn)();
typedef const ProcessorList* (*kxGetInfosProcsFn)();
typedef int (*kxEntryFn)();
}
