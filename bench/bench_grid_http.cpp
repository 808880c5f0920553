// Prints what the built program takes to serve whole-range archive views over HTTP: one year of
// 10 parameters archived every 60 s (5.3 million rows), paging off, read by a client that takes
// every byte. For each: the time from the request to the reply's last byte beside plain SQLite
// reading the same rows in the same run, and how much the program's peak resident memory grew.
//
// bench_grid_http [directory [repeats]]: the archives are built in the directory (shared with
// bench_archive, kept and reused) or in a temporary one. The program is the built one beside
// the benchmarks (../bin/Korvalen), or KORVALEN_BIN.
#include "YearArchive.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace YearArchive;

namespace {

// A field of /proc/<pid>/status in KiB.
qint64 statusKiB(qint64 pid, const char* field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Starts the peak of the process's resident memory again from what it holds now.
void resetPeak(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    if (!f.open(QIODevice::WriteOnly) || f.write("5") != 1)
        std::fprintf(stderr, "the peak cannot be reset: %s\n", qPrintable(f.errorString()));
}

struct Served
{
    double seconds = 0;
    qint64 bytes = 0;
    qint64 growthKiB = 0;
    bool complete = false;
};

// One API call over a connection of its own; the reply is read to its end and dropped.
Served serve(quint16 port, qint64 pid, const QByteArray& form)
{
    Served s;
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(10000))
        return s;
    const qint64 idle = statusKiB(pid, "VmRSS:");
    resetPeak(pid);
    QElapsedTimer t;
    t.start();
    socket.write("POST /ajax.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                 "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                 QByteArray::number(form.size()) + "\r\n\r\n" + form);
    QByteArray tail;
    while (socket.state() == QAbstractSocket::ConnectedState || socket.bytesAvailable() > 0) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(120000))
            break;
        const QByteArray part = socket.readAll();
        s.bytes += part.size();
        tail = (tail + part).right(16);
    }
    s.seconds = t.nsecsElapsed() / 1e9;
    s.growthKiB = statusKiB(pid, "VmHWM:") - idle;
    // The chunked reply's end, after the JSON's closing bracket.
    s.complete = tail.endsWith("\r\n0\r\n\r\n");
    return s;
}

QByteArray form(const std::vector<std::pair<QString, QString>>& keys)
{
    QUrlQuery q;
    for (const auto& k : keys)
        q.addQueryItem(k.first, k.second);
    return q.toString(QUrl::FullyEncoded).toLatin1();
}

QString idList()
{
    QStringList ids;
    for (int p = 1; p <= parameters; ++p)
        ids << QString::number(p);
    return QLatin1Char('[') + ids.join(QLatin1Char(',')) + QLatin1Char(']');
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir temporary;
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temporary.path();
    const int repeats = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    QDir().mkpath(dir);
    const Paths paths = prepare(dir);

    // The program in the indexed archive's directory, on a port of its own choice.
    const QString programDir = QFileInfo(paths.indexed).absolutePath();
    const QString built =
        qEnvironmentVariableIsSet("KORVALEN_BIN")
            ? qEnvironmentVariable("KORVALEN_BIN")
            : QCoreApplication::applicationDirPath() + QStringLiteral("/../bin/Korvalen");
    const QString binary = programDir + QStringLiteral("/Korvalen");
    QFile::remove(binary);
    if (!QFile::copy(built, binary)) {
        std::fprintf(stderr, "no program at %s\n", qPrintable(built));
        return 1;
    }
    QDir(programDir).mkpath(QStringLiteral("www"));
    QDir(programDir).mkpath(QStringLiteral("run"));
    QFile config(programDir + QStringLiteral("/config.ini"));
    config.open(QIODevice::WriteOnly);
    config.write("[listener]\nport=0\n[docroot]\npath=www\n[other]\nprefLang=en\n");
    config.close();

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), programDir + QStringLiteral("/run"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("DISPLAY"));
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(programDir);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(binary, {});
    quint16 port = 0;
    const QRegularExpression listening(QStringLiteral("HttpListener: listening on port (\\d+)"));
    QByteArray output;
    QElapsedTimer wait;
    wait.start();
    while (port == 0 && wait.elapsed() < 60000 && program.waitForReadyRead(60000)) {
        output += program.readAll();
        const auto m = listening.match(QString::fromUtf8(output));
        if (m.hasMatch())
            port = quint16(m.captured(1).toUInt());
    }
    if (port == 0) {
        std::fprintf(stderr, "the program did not start:\n%s\n", output.constData());
        return 1;
    }
    // Its output is read and dropped, so that it never blocks on a full pipe.
    QObject::connect(&program, &QProcess::readyRead, [&] { program.readAll(); });
    const qint64 pid = program.processId();

    struct View
    {
        const char* name;
        QByteArray form;
    };
    const View viewsServed[] = {
        {"getArchGridData, whole year, paging off", form({{"func", "getArchGridData"},
                                                          {"paramListStr", idList()},
                                                          {"startDate", yearStart},
                                                          {"startTime", "00:00:00"},
                                                          {"endDate", "2023-12-31"},
                                                          {"endTime", "23:59:59"},
                                                          {"paggination", "0"}})},
        {"getReportGridData, whole year, by the minute", form({{"func", "getReportGridData"},
                                                               {"paramListStr", idList()},
                                                               {"startDate", yearStart},
                                                               {"endDate", "2024-01-01"},
                                                               {"groupingType", "minutes"},
                                                               {"groupingMinutesVal", "1"}})},
    };

    std::printf("\nserved over HTTP by the program, median of %d:\n", repeats);
    std::vector<double> floor;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer t;
        t.start();
        readRows(paths.indexed, true);
        floor.push_back(t.nsecsElapsed() / 1e9);
    }
    const double plain = median(floor);
    std::printf("  %-46s %8.3f s\n", "plain SQLite reading the same rows (anchor)", plain);
    for (const View& v : viewsServed) {
        std::vector<double> times;
        qint64 growth = 0;
        qint64 bytes = 0;
        bool complete = true;
        for (int i = 0; i < repeats; ++i) {
            const Served s = serve(port, pid, v.form);
            times.push_back(s.seconds);
            growth = std::max(growth, s.growthKiB);
            bytes = s.bytes;
            complete = complete && s.complete;
        }
        const double t = median(times);
        std::printf("  %-46s %8.3f s, ratio %.2f to the anchor; %.0f MB sent%s; peak resident "
                    "memory grew by at most %.1f MB\n",
                    v.name, t, t / plain, bytes / 1e6, complete ? "" : " (INCOMPLETE)",
                    growth / 1024.0);
    }
    std::printf("  program's resident memory afterwards: %.1f MB\n",
                statusKiB(pid, "VmRSS:") / 1024.0);

    program.terminate();
    if (!program.waitForFinished(30000))
        program.kill();
    program.waitForFinished(5000);
    QFile::remove(binary);
    return 0;
}
