#pragma once

#include <QByteArray>
#include <QString>

class ArchiveManager;
class ArchiveReader;

// The grouped report: the archive's valid values folded into time groups in one pass, with per
// group and parameter the minimum and maximum with their times and the average.
class ArchiveReport
{
public:
    // Most values (groups x listed parameters) one report may hold: about 15 MB of reply, each
    // value being five members of its group.
    static constexpr qint64 MaxValues = 100000;

    // The report array, Latin-1, from a reader of valid values; the groups' bounds come from
    // the manager. An empty reply when the reader failed, or when the reply would hold more
    // than MaxValues (*tooLarge set).
    static QByteArray build(ArchiveReader& reader, const ArchiveManager& manager,
                            const QString& groupingType, int minutesStep, bool* tooLarge);

    // Seconds since the epoch of a stored "yyyy-MM-dd hh:mm:ss", read as UTC (so that printed
    // times equal the stored ones); false for any other text.
    static bool epochSeconds(const QByteArray& dateTime, qint64* seconds);
};
