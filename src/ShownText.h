#pragma once

#include <QString>

// Text from outside (a request, config.ini, a name given through the web API) as the program
// shows it in a line of its own: without control, format or line-breaking characters (no
// forged lines, no reordered or hidden text), and cut after maxLength characters, marked "...".
class ShownText
{
public:
    static QString of(const QString& text, int maxLength);
};
