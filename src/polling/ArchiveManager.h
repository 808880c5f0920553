#pragma once

#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QStringList>

#include <memory>

class QFile;
class QTemporaryFile;

// The archive side of the web API; it also holds the CSV file that waits for its download.
class ArchiveManager : public QObject
{
    Q_OBJECT
public:
    explicit ArchiveManager(QObject* parent = nullptr);
    ~ArchiveManager() override;

    // A read handle of its own on the waiting CSV file, at its start; null when no file waits
    // or it is gone from the disk. Reading it is safe while another request releases the file.
    std::unique_ptr<QFile> openCsvFile();
    void releaseCsvFile();

private:
    bool csvGenerating = false;
    QStringList groupingTypes;
    QTemporaryFile* csvFile = nullptr;
    QElapsedTimer csvTimer;
    QMutex csvMutex;
};
