#pragma once

#include "ConfigKey.h"
#include "HttpServerGlobal.h"

// The config.ini groups the server library reads, with every key, what it takes and its
// default: one table for the readers (listener, session store, static files) and for the
// program's check of the file.
class HTTPSERVER_EXPORT HttpServerConfig
{
public:
    static const ConfigGroup& listener();
    static const ConfigGroup& sessions();
    static const ConfigGroup& docroot();
};
