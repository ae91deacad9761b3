#pragma once
#include <QtCore/qglobal.h>

#if defined(ZAVHOST_LIBRARY)
#define ZAVHOST_EXPORT Q_DECL_EXPORT
#else
#define ZAVHOST_EXPORT Q_DECL_IMPORT
#endif
