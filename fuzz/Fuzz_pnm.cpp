// Fuzz target: kxrun's .pgm reader on arbitrary bytes.
#define RK_FUZZ_EXT ".pgm"
#include "FileReader.h"
