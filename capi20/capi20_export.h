#pragma once

#include <QtGlobal>

#if defined(QUILLON_CAPI20_BUILD)
#define QUILLON_CAPI20_EXPORT Q_DECL_EXPORT
#else
#define QUILLON_CAPI20_EXPORT Q_DECL_IMPORT
#endif
