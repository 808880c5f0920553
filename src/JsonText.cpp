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

bool JsonText::isEscaped(const QString& text)
{
    const int n = text.size();
    for (int i = 0; i < n; ++i) {
        const ushort c = text.at(i).unicode();
        if (c == '"' || c < 0x20)
            return false;
        if (c != '\\')
            continue;
        if (++i >= n)
            return false;
        switch (text.at(i).unicode()) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            break;
        case 'u':
            if (i + 4 >= n)
                return false;
            for (int k = 1; k <= 4; ++k) {
                const ushort h = text.at(i + k).unicode();
                if (!((h >= '0' && h <= '9') || (h >= 'a' && h <= 'f') || (h >= 'A' && h <= 'F')))
                    return false;
            }
            i += 4;
            break;
        default:
            return false;
        }
    }
    return true;
}

QString JsonText::rowObject(const QSqlRecord& record, bool escapeValues)
{
    QString out = QStringLiteral("{");
    for (int i = 0; i < record.count(); ++i) {
        const QString value = record.isNull(i) ? QString() : record.value(i).toString();
        if (i > 0)
            out += QLatin1Char(',');
        out += QLatin1Char('"') + record.fieldName(i) + QLatin1String("\":\"") +
               (escapeValues || !isEscaped(value) ? escape(value) : value) + QLatin1Char('"');
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
