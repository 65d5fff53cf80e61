#include "prefs.h"
