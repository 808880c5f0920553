#include "JsonText.h"

#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

QString JsonText::escape(const QString& text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        case '\b':
            out += QLatin1String("\\b");
            break;
        case '\f':
            out += QLatin1String("\\f");
            break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out;
}

QString JsonText::rowObject(const QSqlRecord& record, bool escapeValues)
{
    QString out = QStringLiteral("{");
    for (int i = 0; i < record.count(); ++i) {
        const QString value = record.isNull(i) ? QString() : record.value(i).toString();
        if (i > 0)
            out += QLatin1Char(',');
        out += QLatin1Char('"') + record.fieldName(i) + QLatin1String("\":\"") +
               (escapeValues ? escape(value) : value) + QLatin1Char('"');
    }
    out += QLatin1Char('}');
    return out;
}

QString JsonText::rowObjects(QSqlQuery& query, bool escapeValues)
{
    QString out;
    bool first = true;
    while (query.next()) {
        if (!first)
            out += QLatin1Char(',');
        first = false;
        out += rowObject(query.record(), escapeValues);
    }
    return out;
}
