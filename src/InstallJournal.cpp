#include "InstallJournal.h"

#include "FileSteps.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// About a hundred thousand files; a bigger plan is refused before anything is written.
constexpr qint64 maxJournalBytes = qint64(16) << 20;

const QString journalName = QStringLiteral(".korvalen-install");
const QLatin1String stagedSuffix(".korvalen-new");
const QLatin1String keptSuffix(".korvalen-old");

QString journalPath(const QString& root)
{
    return root + QLatin1Char('/') + journalName;
}

QString pendingPath(const QString& root)
{
    return journalPath(root) + QStringLiteral(".new");
}

QString freeNameBeside(const QString& destination, const QLatin1String& suffix)
{
    const QFileInfo info(destination);
    const QString base =
        info.absolutePath() + QStringLiteral("/.") + info.fileName() + QString(suffix);
    QString name = base;
    for (int i = 1; FileSteps::exists(name); ++i)
        name = base + QString::number(i);
    return QFileInfo(name).fileName();
}

// Below the root and nowhere else: no absolute path, no "." or ".." and no empty segment.
bool isInsideRoot(const QString& path)
{
    if (path.isEmpty() || path.contains(QChar(0)))
        return false;
    for (const QString& segment : path.split(QLatin1Char('/')))
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
    return true;
}

// The installer's own name for a file beside `path`: ".name.korvalen-new", maybe numbered.
bool isOwnNameBeside(const QString& name, const QString& path, const QLatin1String& suffix)
{
    const QString base = QStringLiteral(".") + path.section(QLatin1Char('/'), -1) + QString(suffix);
    if (!name.startsWith(base))
        return false;
    const QStringRef number = name.midRef(base.size());
    for (const QChar c : number)
        if (!c.isDigit() || c.unicode() > 0x7f)
            return false;
    return true;
}

QString idText(const InstallJournal::FileId& id)
{
    return id.present ? QString::number(id.device) + QLatin1Char(':') + QString::number(id.inode)
                      : QString();
}

bool parseId(const QJsonValue& value, InstallJournal::FileId* id)
{
    *id = InstallJournal::FileId();
    const QString text = value.toString();
    if (text.isEmpty())
        return value.isString();
    const QStringList parts = text.split(QLatin1Char(':'));
    bool deviceOk = false;
    bool inodeOk = false;
    if (parts.size() != 2)
        return false;
    id->device = parts.at(0).toULongLong(&deviceOk);
    id->inode = parts.at(1).toULongLong(&inodeOk);
    id->present = deviceOk && inodeOk;
    return id->present;
}

} // namespace

InstallJournal::FileId InstallJournal::FileId::of(const QString& path)
{
    struct stat st = {};
    FileId id;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return id;
    id.device = quint64(st.st_dev);
    id.inode = quint64(st.st_ino);
    id.present = true;
    return id;
}

QString InstallJournal::fileName()
{
    return journalName;
}

QStringList InstallJournal::ownNamePatterns()
{
    return {journalName + QLatin1Char('*'), QStringLiteral(".*") + stagedSuffix + QLatin1Char('*'),
            QStringLiteral(".*") + keptSuffix + QLatin1Char('*')};
}

QString InstallJournal::stagedName(const QString& destination)
{
    return freeNameBeside(destination, stagedSuffix);
}

QString InstallJournal::keptName(const QString& destination)
{
    return freeNameBeside(destination, keptSuffix);
}

bool InstallJournal::existsIn(const QString& root)
{
    return FileSteps::exists(journalPath(root));
}

bool InstallJournal::save(const QString& root) const
{
    QJsonArray fileList;
    for (const File& file : files)
        fileList.append(QJsonObject{{QStringLiteral("path"), file.path},
                                    {QStringLiteral("staged"), file.staged},
                                    {QStringLiteral("kept"), file.kept},
                                    {QStringLiteral("new"), idText(file.newId)},
                                    {QStringLiteral("old"), idText(file.oldId)}});
    const QJsonObject top{{QStringLiteral("phase"), phase == Phase::Staging
                                                        ? QStringLiteral("staging")
                                                        : QStringLiteral("placing")},
                          {QStringLiteral("dirs"), QJsonArray::fromStringList(createdDirs)},
                          {QStringLiteral("files"), fileList}};
    const QByteArray text = QJsonDocument(top).toJson(QJsonDocument::Compact);
    if (text.size() > maxJournalBytes)
        return false;

    const QString pending = pendingPath(root);
    QFile out(pending);
    const bool written = out.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                         out.write(text) == text.size() && out.flush() &&
                         ::fsync(out.handle()) == 0;
    out.close();
    if (!written || out.error() != QFileDevice::NoError ||
        !FileSteps::renameOver(pending, journalPath(root))) {
        FileSteps::removeFile(pending);
        return false;
    }
    return FileSteps::syncDir(root);
}

bool InstallJournal::load(const QString& root)
{
    QFile in(journalPath(root));
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = in.read(maxJournalBytes + 1);
    if (text.size() > maxJournalBytes)
        return false;
    const QJsonObject top = QJsonDocument::fromJson(text).object();

    const QString phaseText = top.value(QStringLiteral("phase")).toString();
    if (phaseText == QLatin1String("staging"))
        phase = Phase::Staging;
    else if (phaseText == QLatin1String("placing"))
        phase = Phase::Placing;
    else
        return false;

    createdDirs.clear();
    for (const QJsonValue& dir : top.value(QStringLiteral("dirs")).toArray()) {
        if (!isInsideRoot(dir.toString()))
            return false;
        createdDirs.append(dir.toString());
    }

    files.clear();
    for (const QJsonValue& value : top.value(QStringLiteral("files")).toArray()) {
        const QJsonObject object = value.toObject();
        File file;
        file.path = object.value(QStringLiteral("path")).toString();
        file.staged = object.value(QStringLiteral("staged")).toString();
        file.kept = object.value(QStringLiteral("kept")).toString();
        if (!isInsideRoot(file.path) || !isOwnNameBeside(file.staged, file.path, stagedSuffix) ||
            (!file.kept.isEmpty() && !isOwnNameBeside(file.kept, file.path, keptSuffix)) ||
            !parseId(object.value(QStringLiteral("new")), &file.newId) ||
            !parseId(object.value(QStringLiteral("old")), &file.oldId))
            return false;
        // Placing: every staged file is known by its id, and a replaced one has its kept name.
        if (phase == Phase::Placing &&
            (!file.newId.present || file.oldId.present == file.kept.isEmpty()))
            return false;
        files.append(file);
    }
    return true;
}

bool InstallJournal::remove(const QString& root)
{
    // The pending copy is what a crash during a save left.
    bool removed = FileSteps::removeFile(pendingPath(root));
    if (FileSteps::exists(journalPath(root))) {
        if (!FileSteps::removeFile(journalPath(root)))
            return false;
        removed = true;
    }
    return !removed || FileSteps::syncDir(root);
}
