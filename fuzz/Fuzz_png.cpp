// Fuzz target: kxrun's .png reader on arbitrary bytes.
#define RK_FUZZ_EXT ".png"
#include "FileReader.h"
