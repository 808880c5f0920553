#pragma once

#include "InstallJournal.h"

#include <QString>
#include <QStringList>

#include <functional>

// Puts a downloaded tree over the web root all at once or not at all: every new file is first
// written beside its destination under a hidden name, and only when all of them are there and a
// journal of the renames is on disk are they renamed into place, the old files kept aside until
// the last rename succeeded. A failure puts the kept files back and removes what was staged or
// created; a crash leaves the journal, from which the next start finishes or undoes the install.
// Only the files the journal names are ever moved or removed.
class UpdateInstaller
{
public:
    // Where an install stands, for the test hook.
    enum class Step
    {
        Stage,
        Place,
        Release,
        Finish
    };
    // Called before each step with the file's index (0 for Finish); false leaves the install
    // where it is, as a kill would.
    using StepHook = std::function<bool(Step step, int index)>;

    enum class Recovery
    {
        NothingToDo,
        Completed,
        RolledBack,
        Failed
    };

    UpdateInstaller(const QString& source, const QString& destination);

    UpdateInstaller(const UpdateInstaller&) = delete;
    UpdateInstaller& operator=(const UpdateInstaller&) = delete;

    // True when every file of the source (hidden ones passed over) now lies in the destination.
    bool install();

    // Finishes or undoes an install that a crash interrupted in the web root, so that it holds
    // either every old file or every new one. Run at start, before anything is served.
    static Recovery recover(const QString& destination);

    // Names the installer gives its own files in the web root (wildcards): never to be served.
    static QStringList ownNamePatterns();

    static void setStepHook(StepHook hook);

private:
    bool plan(const QString& source, const QString& relative);
    bool stage();
    bool prepareToPlace();
    bool place();
    bool release();
    void undoStaging();
    bool reached(Step step, int index);

    QString m_source;
    QString m_destination;
    InstallJournal m_journal;
    QStringList m_sources; // beside the journal's files
    int m_staged = 0;      // staged files created so far
    int m_madeDirs = 0;    // of the journal's directories
    bool m_interrupted = false;
    int m_stepDelayMs = 0;
};
