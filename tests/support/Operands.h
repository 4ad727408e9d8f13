// The large operands live in the sweeps' kit.
#pragma once
#include "support/Sweep.h"
