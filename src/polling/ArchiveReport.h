#pragma once

#include <QByteArray>
#include <QString>

class ArchiveManager;
class ArchiveReader;
class ReplyWriter;

// The grouped report: the archive's valid values folded into time groups in one pass, with per
// group and parameter the minimum and maximum with their times and the average.
class ArchiveReport
{
public:
    // Writes the report array, Latin-1, from a reader of valid values, group by group as the
    // groups close, so that a report of any length takes bounded memory; the groups' bounds
    // come from the manager. False when the reader failed; what was written is then incomplete.
    static bool build(ArchiveReader& reader, const ArchiveManager& manager,
                      const QString& groupingType, int minutesStep, ReplyWriter& out);

    // Seconds since the epoch of a stored "yyyy-MM-dd hh:mm:ss", read as UTC (so that printed
    // times equal the stored ones); false for any other text.
    static bool epochSeconds(const QByteArray& dateTime, qint64* seconds);
};
