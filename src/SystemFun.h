#pragma once

#include <QObject>

// General information about the running program and HTML-to-PDF rendering.
class SystemFun : public QObject
{
    Q_OBJECT
public:
    explicit SystemFun(QObject* parent = nullptr);

    // "getGeneralInfo":
    // {"ver":"0.1.19","archVer":"0.1.1","vfor":"BRIMAT","userPriv":255,"osType":"other"}
    QByteArray getGeneralInfo_j(qint16 privilege);

    // The HTML laid out on A4 pages as a PDF file; empty on failure. Safe on any thread.
    QByteArray html2Pdf(const QString& html);
};
