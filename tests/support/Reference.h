// The conversion references live with the type helpers.
#pragma once
#include "support/Types.h"
