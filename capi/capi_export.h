#pragma once

#include <QtCore/qglobal.h>

// The CAPI library is shared while the component's tests reach the line inside the plugin
// through the process-wide accessor; its types must be one in every image of the process.
#if defined(QUILLON_CAPI_BUILD)
#define QUILLON_CAPI_EXPORT Q_DECL_EXPORT
#else
#define QUILLON_CAPI_EXPORT Q_DECL_IMPORT
#endif
