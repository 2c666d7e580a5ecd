#include "capi/sffscanner.h"
