#include "UpdateInstaller.h"

#include "FileSteps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace {

using File = InstallJournal::File;
using FileId = InstallJournal::FileId;

// Test hook: a pause before every step of an install, so that a test can kill it at a chosen
// moment. Unset, the install takes no pause.
const char* const stepDelayVariable = "KORVALEN_TEST_INSTALL_STEP_MS";
constexpr int maxStepDelayMs = 10000;

UpdateInstaller::StepHook& stepHook()
{
    static UpdateInstaller::StepHook hook;
    return hook;
}

QString inRoot(const QString& root, const QString& relative)
{
    return root + QLatin1Char('/') + relative;
}

QString destinationOf(const QString& root, const File& file)
{
    return inRoot(root, file.path);
}

QString besideDestination(const QString& root, const File& file, const QString& name)
{
    return QFileInfo(destinationOf(root, file)).absolutePath() + QLatin1Char('/') + name;
}

QString stagedOf(const QString& root, const File& file)
{
    return besideDestination(root, file, file.staged);
}

QString keptOf(const QString& root, const File& file)
{
    return besideDestination(root, file, file.kept);
}

bool isPlaced(const QString& root, const File& file)
{
    return FileId::of(destinationOf(root, file)) == file.newId;
}

bool isKept(const QString& root, const File& file)
{
    return file.oldId.present && FileId::of(keptOf(root, file)) == file.oldId;
}

// The new content is at hand, and the old one (if any) still where a rename can keep it.
bool canPlace(const QString& root, const File& file)
{
    if (isPlaced(root, file))
        return true;
    if (FileId::of(stagedOf(root, file)) != file.newId)
        return false;
    const FileId current = FileId::of(destinationOf(root, file));
    return file.oldId.present ? current == file.oldId || isKept(root, file) : !current.present;
}

// Keeps the old file under its kept name, then renames the new one into place. Taken again
// after a crash, it goes on from where it stopped.
bool placeFile(const QString& root, const File& file)
{
    if (isPlaced(root, file))
        return true;
    const QString destination = destinationOf(root, file);
    if (FileId::of(stagedOf(root, file)) != file.newId)
        return false;
    if (file.oldId.present && !isKept(root, file)) {
        const QString kept = keptOf(root, file);
        if (FileId::of(destination) != file.oldId || FileSteps::exists(kept))
            return false;
        // A second link keeps the old file while the new one replaces the name in one step;
        // where links are not possible the old file is moved aside instead.
        if (!FileSteps::link(destination, kept) &&
            (errno == EEXIST || !FileSteps::renameOver(destination, kept)))
            return false;
    }
    // Whatever is under the name now must be the old file: nothing else is replaced.
    const FileId current = FileId::of(destination);
    if (current.present && current != file.oldId)
        return false;
    return FileSteps::renameOver(stagedOf(root, file), destination);
}

// Puts the old file back, or removes the new one where there was none; removes what was staged.
bool undoFile(const QString& root, const File& file)
{
    const QString destination = destinationOf(root, file);
    const FileId current = FileId::of(destination);
    if (current == file.newId) {
        if (!file.oldId.present)
            return FileSteps::removeFile(destination);
        return isKept(root, file) && FileSteps::renameOver(keptOf(root, file), destination);
    }
    if (isKept(root, file)) {
        if (current == file.oldId) // still there: the kept name is a second link
            FileSteps::removeFile(keptOf(root, file));
        else if (current.present || !FileSteps::renameOver(keptOf(root, file), destination))
            return false;
    }
    if (FileId::of(stagedOf(root, file)) == file.newId)
        FileSteps::removeFile(stagedOf(root, file));
    return true;
}

void releaseFile(const QString& root, const File& file)
{
    if (isKept(root, file))
        FileSteps::removeFile(keptOf(root, file));
}

void removeCreatedDirs(const QString& root, const QStringList& dirs)
{
    // Children first; one that holds anything else stays.
    for (int i = dirs.size() - 1; i >= 0; --i)
        QDir().rmdir(inRoot(root, dirs.at(i)));
}

bool syncDirsOf(const QString& root, const InstallJournal& journal)
{
    QSet<QString> dirs;
    for (const File& file : journal.files)
        dirs.insert(QFileInfo(destinationOf(root, file)).absolutePath());
    for (const QString& dir : journal.createdDirs)
        dirs.insert(QFileInfo(inRoot(root, dir)).absolutePath());
    // A directory that an undo removed has nothing left to sync.
    return std::all_of(dirs.cbegin(), dirs.cend(), [](const QString& dir) {
        return FileSteps::syncDir(dir) || !QFileInfo(dir).isDir();
    });
}

// Every file in reverse order, then the directories made: each step that can be undone is.
bool undoAll(const QString& root, const InstallJournal& journal)
{
    bool undone = true;
    for (int i = journal.files.size() - 1; i >= 0; --i)
        undone = undoFile(root, journal.files.at(i)) && undone;
    removeCreatedDirs(root, journal.createdDirs);
    return undone && syncDirsOf(root, journal);
}

bool copyInto(const QString& source, QFile& out)
{
    QFile in(source);
    return in.open(QIODevice::ReadOnly) && FileSteps::copyRest(in, out);
}

int stepDelayMs()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue(stepDelayVariable, &ok);
    return ok ? qBound(0, ms, maxStepDelayMs) : 0;
}

} // namespace

UpdateInstaller::UpdateInstaller(const QString& source, const QString& destination)
    : m_source(source), m_destination(QDir::cleanPath(destination))
{
}

void UpdateInstaller::setStepHook(StepHook hook)
{
    stepHook() = std::move(hook);
}

QStringList UpdateInstaller::ownNamePatterns()
{
    return InstallJournal::ownNamePatterns();
}

bool UpdateInstaller::reached(Step step, int index)
{
    if (m_stepDelayMs > 0)
        QThread::msleep(ulong(m_stepDelayMs));
    if (stepHook() && !stepHook()(step, index))
        m_interrupted = true;
    return !m_interrupted;
}

bool UpdateInstaller::install()
{
    m_journal = InstallJournal();
    m_sources.clear();
    m_staged = 0;
    m_madeDirs = 0;
    m_interrupted = false;
    m_stepDelayMs = stepDelayMs();

    // An install that a crash interrupted is settled first; one that cannot be is left alone.
    if (recover(m_destination) == Recovery::Failed)
        return false;
    if (!QFileInfo(m_source).isDir())
        return false;
    // Only the last level is made: a web root whose parent is gone is not recreated.
    const QFileInfo root(m_destination);
    const bool madeRoot = !root.exists() && !root.isSymLink() && QDir().mkdir(m_destination);
    if (!QFileInfo(m_destination).isDir())
        return false;
    const auto giveUp = [this, madeRoot] {
        undoStaging();
        InstallJournal::remove(m_destination);
        if (madeRoot)
            QDir().rmdir(m_destination);
        return false;
    };
    if (!plan(m_source, QString()) || !m_journal.save(m_destination))
        return giveUp();

    if (!stage() || !prepareToPlace())
        return m_interrupted ? false : giveUp();
    if (!place()) {
        // An undo that fails keeps the journal: the next start tries again.
        if (!m_interrupted && undoAll(m_destination, m_journal))
            InstallJournal::remove(m_destination);
        return false;
    }
    release();
    return !m_interrupted;
}

bool UpdateInstaller::plan(const QString& source, const QString& relative)
{
    const auto below = [&relative](const QString& name) {
        return relative.isEmpty() ? name : relative + QLatin1Char('/') + name;
    };
    const QDir from(source);
    for (const QFileInfo& entry : from.entryInfoList(QDir::Files)) {
        File file;
        file.path = below(entry.fileName());
        const QString destination = inRoot(m_destination, file.path);
        if (QFileInfo(destination).isDir())
            return false;
        file.staged = InstallJournal::stagedName(destination);
        m_journal.files.append(file);
        m_sources.append(entry.absoluteFilePath());
    }
    for (const QFileInfo& entry : from.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString dir = below(entry.fileName());
        const QFileInfo target(inRoot(m_destination, dir));
        if (target.isSymLink() && !target.exists())
            return false;
        if (!target.exists())
            m_journal.createdDirs.append(dir);
        else if (!target.isDir())
            return false;
        if (!plan(entry.absoluteFilePath(), dir))
            return false;
    }
    return true;
}

bool UpdateInstaller::stage()
{
    for (const QString& dir : qAsConst(m_journal.createdDirs)) {
        if (!QDir().mkdir(inRoot(m_destination, dir)))
            return false;
        ++m_madeDirs;
    }
    for (int i = 0; i < m_journal.files.size(); ++i) {
        if (!reached(Step::Stage, i))
            return false;
        const File& file = m_journal.files.at(i);
        QFile out(stagedOf(m_destination, file));
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return false;
        // Counted before the first byte, so that a failure below still removes it.
        ++m_staged;
        if (!copyInto(m_sources.at(i), out))
            return false;
        const QFileInfo target(destinationOf(m_destination, file));
        if (target.exists() && !out.setPermissions(target.permissions()))
            return false;
        // A full disk may show only when the last buffer goes out; synced, so that after a power
        // cut the renamed-in file is never empty or cut short.
        if (!out.flush() || ::fsync(out.handle()) != 0)
            return false;
        out.close();
        if (out.error() != QFileDevice::NoError)
            return false;
    }
    return true;
}

bool UpdateInstaller::prepareToPlace()
{
    if (!syncDirsOf(m_destination, m_journal))
        return false;
    for (File& file : m_journal.files) {
        const QString destination = destinationOf(m_destination, file);
        file.newId = FileId::of(stagedOf(m_destination, file));
        file.oldId = FileId::of(destination);
        if (!file.newId.present || QFileInfo(destination).isDir())
            return false;
        if (file.oldId.present)
            file.kept = InstallJournal::keptName(destination);
    }
    m_journal.phase = InstallJournal::Phase::Placing;
    return m_journal.save(m_destination);
}

bool UpdateInstaller::place()
{
    for (int i = 0; i < m_journal.files.size(); ++i)
        if (!reached(Step::Place, i) || !placeFile(m_destination, m_journal.files.at(i)))
            return false;
    return syncDirsOf(m_destination, m_journal);
}

bool UpdateInstaller::release()
{
    for (int i = 0; i < m_journal.files.size(); ++i) {
        if (!reached(Step::Release, i))
            return false;
        releaseFile(m_destination, m_journal.files.at(i));
    }
    // A journal that stays only makes the next start look again: every file is in place.
    return reached(Step::Finish, 0) && InstallJournal::remove(m_destination);
}

void UpdateInstaller::undoStaging()
{
    for (int i = 0; i < m_staged; ++i)
        FileSteps::removeFile(stagedOf(m_destination, m_journal.files.at(i)));
    removeCreatedDirs(m_destination, m_journal.createdDirs.mid(0, m_madeDirs));
}

UpdateInstaller::Recovery UpdateInstaller::recover(const QString& destination)
{
    const QString root = QDir::cleanPath(destination);
    if (!InstallJournal::existsIn(root)) {
        InstallJournal::remove(root);
        return Recovery::NothingToDo;
    }
    InstallJournal journal;
    if (!journal.load(root))
        return Recovery::Failed;

    if (journal.phase == InstallJournal::Phase::Staging) {
        // Nothing was replaced yet; the staged names were chosen free, so they are the
        // installer's own.
        for (const File& file : qAsConst(journal.files)) {
            const QString staged = stagedOf(root, file);
            if (QFileInfo(staged).isFile() && !QFileInfo(staged).isSymLink())
                FileSteps::removeFile(staged);
        }
        removeCreatedDirs(root, journal.createdDirs);
        return InstallJournal::remove(root) ? Recovery::RolledBack : Recovery::Failed;
    }

    const auto placeable = [&root](const File& file) { return canPlace(root, file); };
    bool forward = std::all_of(journal.files.cbegin(), journal.files.cend(), placeable);
    for (int i = 0; forward && i < journal.files.size(); ++i)
        forward = placeFile(root, journal.files.at(i));
    if (forward) {
        // The renames are done; a directory that cannot be synced changes nothing of that.
        syncDirsOf(root, journal);
        for (const File& file : qAsConst(journal.files))
            releaseFile(root, file);
        InstallJournal::remove(root);
        return Recovery::Completed;
    }

    if (!undoAll(root, journal))
        return Recovery::Failed;
    return InstallJournal::remove(root) ? Recovery::RolledBack : Recovery::Failed;
}
