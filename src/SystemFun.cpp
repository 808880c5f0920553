#include "SystemFun.h"

#include "DatabaseSchema.h"
#include "Version.h"

#include <QImage>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPrinter>
#include <QTemporaryFile>
#include <QTextDocument>
#include <QUrl>
#include <QVariant>

namespace {
const char* const brandCode = "BRIMAT";

// The HTML is the caller's: it may carry its images (data: URLs), but must not pull files of the
// server's disk (file:, paths, resources) into the PDF it gets back.
class CallerDocument : public QTextDocument
{
protected:
    QVariant loadResource(int type, const QUrl& name) override
    {
        if (name.scheme().compare(QLatin1String("data"), Qt::CaseInsensitive) == 0)
            return QTextDocument::loadResource(type, name);
        if (type != QTextDocument::ImageResource)
            return QVariant();
        // Without an image here the layout would load the name as a file itself.
        QImage nothing(1, 1, QImage::Format_ARGB32);
        nothing.fill(Qt::transparent);
        return nothing;
    }
};
} // namespace

SystemFun::SystemFun(QObject* parent) : QObject(parent) {}

QByteArray SystemFun::getGeneralInfo_j(qint16 privilege)
{
    return QStringLiteral("{\"ver\":\"%1\",\"archVer\":\"%2\",\"vfor\":\"%3\",\"userPriv\":%4,"
                          "\"osType\":\"other\"}")
        .arg(QLatin1String(programVersion), DatabaseSchema::archiveVersion,
             QLatin1String(brandCode))
        .arg(privilege)
        .toUtf8();
}

QByteArray SystemFun::html2Pdf(const QString& html)
{
    QTemporaryFile file;
    if (!file.open())
        return QByteArray();

    CallerDocument document;
    document.setHtml(html);

    QPrinter printer(QPrinter::ScreenResolution);
    printer.setResolution(96);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(file.fileName());
    printer.setPageMargins(QMarginsF(0, 4, 0, 4), QPageLayout::Millimeter);

    // Laid out and broken into pages at exactly the printable area.
    document.setPageSize(printer.pageRect(QPrinter::DevicePixel).size());
    document.print(&printer);

    file.seek(0);
    return file.readAll();
}
