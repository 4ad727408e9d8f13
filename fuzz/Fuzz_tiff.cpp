// Fuzz target: kxrun's .tiff reader on arbitrary bytes.
#define RK_FUZZ_EXT ".tiff"
#include "FileReader.h"
