#include "support/limits.h"

HelperLimitValues HelperLimits;
