#include "capi/simulatedline.h"
