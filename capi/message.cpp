#include "capi/message.h"
