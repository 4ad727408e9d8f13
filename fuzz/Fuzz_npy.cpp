// Fuzz target: kxrun's .npy reader on arbitrary bytes.
#define RK_FUZZ_EXT ".npy"
#include "FileReader.h"
