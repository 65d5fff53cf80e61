#include "globals.h"

Globals globals;
