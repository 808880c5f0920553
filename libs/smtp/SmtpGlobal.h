#pragma once

#include <QtGlobal>

// Only what is marked with this is visible outside the shared library.
#if defined(SMTPEMAIL_BUILD)
#define SMTPEMAIL_EXPORT Q_DECL_EXPORT
#else
#define SMTPEMAIL_EXPORT Q_DECL_IMPORT
#endif
