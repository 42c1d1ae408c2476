#pragma once

#include <QtCore/qglobal.h>

// The library is built with hidden visibility; only what carries this macro is
// part of its interface.
#if defined(KELCAB_LIBRARY)
#  define KELCAB_EXPORT Q_DECL_EXPORT
#else
#  define KELCAB_EXPORT Q_DECL_IMPORT
#endif
