// Copies of streams between pins, converting the elements when a pin takes another element type.
#pragma once

#include "kxhost/Runtime.h"

namespace kxrun {

// Both throw a UsageError when a copy would exceed the host's limits.

// A deep copy of the stream (matrices, names, user data and meta information).
kxhost::Stream copyStream(const kxhost::Stream& stream);

// The stream with its matrices converted from element type `from` to `to` by the library's
// conversion rules (truncation toward zero, low bits kept). When `to` has no host storage the
// matrices stay as they are: a processor rejects such a pin before it reads any element.
kxhost::Stream convertStream(kxhost::Stream stream, kxType from, kxType to);

}  // namespace kxrun
