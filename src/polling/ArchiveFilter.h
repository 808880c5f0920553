#pragma once

#include "RequestParams.h"

#include <QString>
#include <QStringList>
#include <QVector>

// What an archive view reads: the listed parameters and the time bounds of the request, checked
// so that nothing but integer ids, dates and times ever reaches a statement.
class ArchiveFilter
{
public:
    // Most ids one request may list (the browser lists the parameters a user picked).
    static constexpr int MaxParameters = 1000;

    // The grid's and the CSV file's keys: bounds "startDate startTime" and "endDate endTime",
    // each only when its date is given. An empty reply when they pass, else the error reply.
    static QByteArray readWithTimes(const t_GetArray& GET, ArchiveFilter* filter);
    // The report's keys: bounds "startDate" and "endDate", dates only.
    static QByteArray readDates(const t_GetArray& GET, ArchiveFilter* filter);

    QStringList ids;         // as listed, repeats included: the names of the value columns
    QVector<qint64> idValues; // the same ids as numbers
    QString from;            // lowest dateTime text, empty for none
    QString to;              // highest dateTime text, empty for none

private:
    static QByteArray read(const t_GetArray& GET, bool withTimes, ArchiveFilter* filter);
};
