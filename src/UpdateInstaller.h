#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// Puts a downloaded tree over the web root all at once or not at all: every new file is first
// written beside its destination under a hidden name, and only when all of them are there are
// they renamed into place, the old files kept aside until the last rename succeeded. Any failure
// puts the kept files back and removes what was staged or created, so the web root is as before.
class UpdateInstaller
{
public:
    UpdateInstaller(const QString& source, const QString& destination);

    UpdateInstaller(const UpdateInstaller&) = delete;
    UpdateInstaller& operator=(const UpdateInstaller&) = delete;

    // True when every file of the source (hidden ones passed over) now lies in the destination.
    bool install();

private:
    struct Entry
    {
        QString staged; // the new content, beside its destination
        QString destination;
        QString keptOld;       // the replaced file while the install may still be undone
        bool oldMoved = false; // kept by a rename, not a second link: the destination is empty
        bool placed = false;
    };

    void clearLeftovers();
    bool stageDir(const QString& source, const QString& destination);
    bool stageFile(const QString& source, const QString& destination);
    bool swapIn();
    void rollBack();

    QString m_source;
    QString m_destination;
    QVector<Entry> m_entries;
    QStringList m_createdDirs; // parents before children
};
