#pragma once

#include <QtGlobal>

// Only the classes marked with this are visible outside the shared library.
#if defined(HTTPSERVER_BUILD)
#define HTTPSERVER_EXPORT Q_DECL_EXPORT
#else
#define HTTPSERVER_EXPORT Q_DECL_IMPORT
#endif
