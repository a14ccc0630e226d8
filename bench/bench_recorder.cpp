// record() against the cheapest way to build the same document with Qt alone, and the memory
// a queued record takes. Run from a build directory: bench/bench_recorder
#include "telemetry/cache/datacollector.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/runtime/runtime.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <malloc.h>

#include <algorithm>
#include <cstdio>

using namespace kl::telemetry;

namespace {

class FiveProperties : public Recorder
{
    Q_OBJECT
    Q_PROPERTY(QString screen MEMBER m_screen)
    Q_PROPERTY(QString action MEMBER m_action)
    Q_PROPERTY(int count MEMBER m_count)
    Q_PROPERTY(double durationMs MEMBER m_durationMs)
    Q_PROPERTY(bool success MEMBER m_success)

public:
    QString m_screen = QStringLiteral("settings");
    QString m_action = QStringLiteral("save");
    int m_count = 3;
    double m_durationMs = 12.5;
    bool m_success = true;
};

// The same members, built the plainest way Qt offers.
QByteArray baselineDocument(const FiveProperties &recorder, const QString &id, qint64 timestamp)
{
    const QVariantMap members { { QStringLiteral("_id"), id },
                                { QStringLiteral("timestamp"), timestamp },
                                { QStringLiteral("type"), recorder.type() },
                                { QStringLiteral("screen"), recorder.m_screen },
                                { QStringLiteral("action"), recorder.m_action },
                                { QStringLiteral("count"), recorder.m_count },
                                { QStringLiteral("durationMs"), recorder.m_durationMs },
                                { QStringLiteral("success"), recorder.m_success } };
    return QJsonDocument::fromVariant(members).toJson(QJsonDocument::Compact);
}

template<typename F>
double bestNsPerCall(int calls, F &&call)
{
    double best = 1e99;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < calls; ++i)
            call();
        best = std::min(best, double(timer.nsecsElapsed()) / calls);
        currentDataCollector()->clearQueue();
    }
    return best;
}

size_t heapInUse()
{
    return mallinfo2().uordblks;
}

// The document record() placed, read back from the cache.
QByteArray placedDocument()
{
    currentDataCollector()->flush();
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("initialize")));
    query.exec(QStringLiteral("SELECT recordData FROM telemetry"));
    return query.next() ? query.value(0).toString().toUtf8() : QByteArray();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    qputenv("XDG_CACHE_HOME", QFile::encodeName(dir.filePath(QStringLiteral("cache"))));
    qputenv("TMPDIR", QFile::encodeName(dir.path()));

    CouchDBBucket bucket;
    bucket.setServer(QUrl(QStringLiteral("http://127.0.0.1:5984")));
    bucket.setDatabase(QStringLiteral("bench"));
    FiveProperties recorder; // starts the library; without an event loop nothing is flushed
    recorder.setType(QStringLiteral("ui.action"));
    recorder.setBucket(&bucket);

    // The document must be the one Qt's own conversion gives.
    recorder.record();
    const QJsonObject placed = QJsonDocument::fromJson(placedDocument()).object();
    const QByteArray expected
        = baselineDocument(recorder, placed.value(QLatin1String("_id")).toString(),
                           qint64(placed.value(QLatin1String("timestamp")).toDouble()));
    const bool identical
        = QJsonDocument(placed).toJson(QJsonDocument::Compact) == expected && !expected.isEmpty();

    constexpr int calls = 100000;
    const double baseline = bestNsPerCall(calls, [&] {
        baselineDocument(recorder, generateUniqueId(), QDateTime::currentMSecsSinceEpoch());
    });
    const double record = bestNsPerCall(calls, [&] { recorder.record(); });

    // Memory of 100 000 queued records of about 200 bytes of JSON.
    const QString json = QString::fromUtf8(expected).leftJustified(192, QLatin1Char(' '), true);
    const size_t before = heapInUse();
    for (int i = 0; i < calls; ++i) // each record with a text of its own, as in real use
        currentDataCollector()->collect(
            generateUniqueId(), i, 1, json + QStringLiteral("%1").arg(i, 8, 10, QLatin1Char('0')));
    const double perRecord = double(heapInUse() - before) / calls;
    currentDataCollector()->clearQueue();

    std::printf("\nrecord() on a Recorder with five properties, best of 5 x %d calls\n", calls);
    std::printf("| what | ns per call | ratio |\n|---|---|---|\n");
    std::printf(
        "| QVariantMap to compact JSON, same id and clock calls (baseline) | %.0f | 1.00 |\n",
        baseline);
    std::printf("| record(), document queued | %.0f | %.2f |\n", record, record / baseline);
    std::printf("document byte-identical to Qt's conversion: %s\n", identical ? "yes" : "NO");
    std::printf("\nmemory per queued record, 100 000 records of 200 bytes of JSON: %.0f bytes, "
                "%.2f times the UTF-16 text of its id and document (%d bytes)\n",
                perRecord, perRecord / ((200 + 16) * 2), (200 + 16) * 2);
    return identical ? 0 : 1;
}

#include "bench_recorder.moc"
