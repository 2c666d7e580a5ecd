#include "capi/trace.h"
