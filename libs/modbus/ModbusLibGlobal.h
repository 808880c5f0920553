#pragma once

#include <QtGlobal>

// Only what is marked with this is visible outside the shared library.
#if defined(MODBUSLIB_BUILD)
#define MODBUSLIB_EXPORT Q_DECL_EXPORT
#else
#define MODBUSLIB_EXPORT Q_DECL_IMPORT
#endif
