#pragma once

#include <QByteArray>
#include <QString>

class QSqlQuery;
class QSqlRecord;

// Text pieces of the JSON replies, which are built by concatenation.
class JsonText
{
public:
    // The text escaped for use inside a JSON string: quote, backslash and control characters.
    static QString escape(const QString& text);

    // Whether the text can stand between the quotes of a JSON string as it is (only valid
    // escapes, no bare quote or control character).
    static bool isEscaped(const QString& text);

    // {"column":"value",...} of the query's current row: every value as a JSON string in column
    // order, NULL as "". escapeValues false puts in as stored the values that are stored
    // escaped already, and escapes the others (rows another program wrote), so the reply stays
    // valid JSON.
    static QString rowObject(const QSqlRecord& record, bool escapeValues = true);

    // The objects of all remaining rows of an executed query, joined by commas (no brackets).
    static QString rowObjects(QSqlQuery& query, bool escapeValues = true);
};
