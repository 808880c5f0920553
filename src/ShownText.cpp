#include "ShownText.h"

#include <QVector>

namespace {

bool isShown(uint c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_PrivateUse:
    case QChar::Other_NotAssigned:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return false;
    default:
        return true;
    }
}

} // namespace

QString ShownText::of(const QString& text, int maxLength)
{
    QString shown;
    int count = 0;
    // By code points, so that a character beyond the first plane keeps both halves (half of a
    // pair comes as the replacement character).
    for (const uint c : text.toUcs4()) {
        if (!isShown(c))
            continue;
        if (count == maxLength)
            return shown + QStringLiteral("...");
        shown += QString::fromUcs4(&c, 1);
        ++count;
    }
    return shown;
}
