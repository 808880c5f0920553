#include "ArchiveManager.h"

#include "TryLocker.h"

#include <QFile>
#include <QTemporaryFile>

namespace {
// Only the CSV state is guarded; nothing is done under the lock but bookkeeping.
constexpr int csvLockTimeoutMs = 2000;
} // namespace

ArchiveManager::ArchiveManager(QObject* parent)
    : QObject(parent), groupingTypes{QStringLiteral("minutes"), QStringLiteral("hours"),
                                     QStringLiteral("days"), QStringLiteral("weeks")}
{
}

ArchiveManager::~ArchiveManager()
{
    delete csvFile;
}

std::unique_ptr<QFile> ArchiveManager::openCsvFile()
{
    TryLocker lock(&csvMutex, csvLockTimeoutMs);
    if (!lock || !csvFile || !QFile::exists(csvFile->fileName()))
        return nullptr;
    auto file = std::make_unique<QFile>(csvFile->fileName());
    if (!file->open(QIODevice::ReadOnly))
        return nullptr;
    return file;
}

void ArchiveManager::releaseCsvFile()
{
    TryLocker lock(&csvMutex, csvLockTimeoutMs);
    if (!lock)
        return;
    if (csvFile) {
        csvFile->deleteLater();
        csvFile = nullptr;
    }
    csvGenerating = false;
}
