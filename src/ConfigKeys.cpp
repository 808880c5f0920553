#include "ConfigKeys.h"

#include "HttpServerConfig.h"
#include "Logs.h"
#include "OperatorLog.h"

#include <QSet>
#include <QSettings>

#include <limits>

namespace {

// How many single-character edits apart two names are, stopping beyond `bound`.
int editDistance(const QString& a, const QString& b, int bound)
{
    if (qAbs(a.size() - b.size()) > bound)
        return bound + 1;
    QVector<int> row(b.size() + 1);
    for (int j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            const bool same = a.at(i - 1).toLower() == b.at(j - 1).toLower();
            row[j] = qMin(qMin(row[j] + 1, row[j - 1] + 1), diagonal + (same ? 0 : 1));
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known name a typo most likely meant, or empty.
QString nearest(const QString& name, const QStringList& known)
{
    constexpr int bound = 2;
    QString best;
    int bestDistance = bound + 1;
    for (const QString& candidate : known) {
        const int d = editDistance(name, candidate, bound);
        if (d < bestDistance) {
            best = candidate;
            bestDistance = d;
        }
    }
    return best;
}

} // namespace

const QVector<ConfigGroup>& ConfigKeys::groups()
{
    constexpr qint64 maxInt = std::numeric_limits<int>::max();
    static const QVector<ConfigGroup> table{
        // Names other than an address by which browsers may call the program.
        HttpServerConfig::listener().with(
            {ConfigKey::ofKind(ConfigKey::Kind::HostNames, allowedHostsKey(), QStringList())}),
        HttpServerConfig::sessions(),
        HttpServerConfig::docroot(),
        ConfigGroup(QStringLiteral("updates"),
                    {ConfigKey::text(QStringLiteral("updateServer"), QStringLiteral(".")),
                     // Read, without effect: the update check waits a fixed time.
                     ConfigKey::integer(QStringLiteral("responseMaxWaitTime"), 0, maxInt, 10000)}),
        // An empty language is settled at the start; an unknown one has no translation and
        // leaves the English texts, and is kept in the file as it is.
        ConfigGroup(QStringLiteral("other"),
                    {ConfigKey::choice(QStringLiteral("prefLang"),
                                       {QStringLiteral("en"), QStringLiteral("pl"),
                                        QStringLiteral("de"), QStringLiteral("esp"),
                                        QStringLiteral("fr")},
                                       QString(), QStringLiteral("the English texts are used"))}),
    };
    return table;
}

const QString& ConfigKeys::allowedHostsKey()
{
    static const QString key = QStringLiteral("allowedHosts");
    return key;
}

const ConfigGroup* ConfigKeys::findGroup(const QString& name)
{
    for (const ConfigGroup& g : groups())
        if (g.name() == name)
            return &g;
    return nullptr;
}

const ConfigGroup& ConfigKeys::group(const QString& name)
{
    if (const ConfigGroup* g = findGroup(name))
        return *g;
    Q_ASSERT_X(false, "ConfigKeys::group", "a group the table does not list");
    return groups().constFirst();
}

QVector<ConfigKeys::Finding> ConfigKeys::check(const QString& path)
{
    QVector<Finding> findings;
    const QSettings file(path, QSettings::IniFormat);
    if (file.status() != QSettings::NoError) {
        findings.append({Logs::Error, OperatorLog::configUnreadable(path)});
        return findings;
    }
    QStringList groupNames;
    for (const ConfigGroup& g : groups())
        groupNames << g.name();

    QSet<QString> unknownGroups;
    for (const QString& fullKey : file.allKeys()) {
        const int slash = fullKey.indexOf(QLatin1Char('/'));
        if (slash < 0) {
            findings.append({Logs::Warn, OperatorLog::configKeyOutsideGroups(fullKey)});
            continue;
        }
        const QString groupName = fullKey.left(slash);
        const QString keyName = fullKey.mid(slash + 1);
        const ConfigGroup* g = findGroup(groupName);
        if (!g) {
            if (!unknownGroups.contains(groupName)) {
                unknownGroups.insert(groupName);
                findings.append({Logs::Warn, OperatorLog::configUnknownGroup(
                                                 groupName, nearest(groupName, groupNames))});
            }
            continue;
        }
        const ConfigKey* key = g->find(keyName);
        if (!key) {
            QStringList keyNames;
            for (const ConfigKey& k : g->keys())
                keyNames << k.name;
            findings.append({Logs::Warn, OperatorLog::configUnknownKey(
                                             groupName, keyName, nearest(keyName, keyNames))});
            continue;
        }
        const QVariant value = file.value(fullKey);
        const QString problem = key->problem(value);
        if (!problem.isEmpty())
            findings.append({Logs::Error,
                             OperatorLog::configValueRefused(groupName, keyName, ConfigKey::textOf(value),
                                                             problem, key->consequence())});
    }
    return findings;
}
