#pragma once

#include <QString>

class ArchiveManager;
class ArchiveReader;

// The grouped report: the archive's valid values folded into time groups in one pass, with per
// group and parameter the minimum and maximum with their times and the average.
class ArchiveReport
{
public:
    // The report array (before its Latin-1 encoding) from a reader of valid values; an empty
    // text when the reader failed. The groups' bounds come from the manager.
    static QString build(ArchiveReader& reader, const ArchiveManager& manager,
                         const QString& groupingType, int minutesStep);

    // Seconds since the epoch of a stored "yyyy-MM-dd hh:mm:ss", read as UTC (so that printed
    // times equal the stored ones); false for any other text.
    static bool epochSeconds(const QByteArray& dateTime, qint64* seconds);
};
