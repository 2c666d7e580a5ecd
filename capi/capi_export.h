#pragma once

#include <QtCore/qglobal.h>

// The CAPI library is shared: the simulated line is one line per process, and the component
// plugin and a test executable must both see that one line.
#if defined(QUILLON_CAPI_BUILD)
#define QUILLON_CAPI_EXPORT Q_DECL_EXPORT
#else
#define QUILLON_CAPI_EXPORT Q_DECL_IMPORT
#endif
