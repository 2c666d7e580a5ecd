#include "component/plugin.h"
