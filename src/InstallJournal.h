#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// The list of the file moves of one install into a web root, kept on disk in that root while
// its files change, so that the start after a crash knows exactly which files are the
// installer's and can finish the install or undo it.
class InstallJournal
{
public:
    // A file as the file system knows it: what a rename keeps and a new file does not share.
    struct FileId
    {
        quint64 device = 0;
        quint64 inode = 0;
        bool present = false;

        // The entry itself, not what a link points to; absent when there is none.
        static FileId of(const QString& path);
        bool operator==(const FileId& other) const
        {
            return present == other.present && device == other.device && inode == other.inode;
        }
        bool operator!=(const FileId& other) const { return !(*this == other); }
    };

    enum class Phase
    {
        Staging, // new files being written beside their destinations; nothing replaced yet
        Placing, // every new file written and synced; the renames into place under way
    };

    struct File
    {
        QString path;   // below the web root
        QString staged; // name in the same directory: the new content until it is placed
        QString kept;   // name in the same directory: the replaced file; empty without one
        FileId newId;   // of the staged file (Placing only)
        FileId oldId;   // of the file it replaces, when there is one (Placing only)
    };

    Phase phase = Phase::Staging;
    QStringList createdDirs; // below the web root, parents before children
    QVector<File> files;

    static QString fileName();
    // The names the installer gives its own files: the journal, staged and kept files.
    static QStringList ownNamePatterns();
    // Hidden names beside a destination, so that no install copies them and no listing shows
    // them: ".name.korvalen-new" and ".name.korvalen-old", with a number when taken.
    static QString stagedName(const QString& destination);
    static QString keptName(const QString& destination);

    static bool existsIn(const QString& root);
    // Synced, and replacing the previous journal in one step: a crash leaves the old one or
    // the new one whole.
    bool save(const QString& root) const;
    // False when the file is missing, too big, or not a journal whose names stay inside the root
    // and are the installer's own.
    bool load(const QString& root);
    static bool remove(const QString& root);
};
