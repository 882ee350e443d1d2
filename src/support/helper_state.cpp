#include "support/helper_state.h"

HelperStateRecord HelperState;
