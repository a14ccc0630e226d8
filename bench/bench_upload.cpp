// One 25-document batch to a local pouchdb-server, end to end, and the library's own time
// inside it: building the body and handing the request over (the addDocuments() call), plus
// reading the reply (from the reply's end to finished()). Starts and stops its own server.
// Run from a build directory: bench/bench_upload [batches]
#include "telemetry/publishing/couchdbdocumentuploader.h"
#include "telemetry/publishing/networkmanager.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleton.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace kl::telemetry;

namespace {

QElapsedTimer g_clock;
qint64 g_replyEnded = 0;

// Notes when each reply ends, before the uploader's own handler runs.
class TimingManager : public QNetworkAccessManager
{
protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *data) override
    {
        QNetworkReply *reply = QNetworkAccessManager::createRequest(operation, request, data);
        connect(reply, &QNetworkReply::finished, this,
                [] { g_replyEnded = g_clock.nsecsElapsed(); });
        return reply;
    }
};

QString startServer(const QString &state)
{
    QProcess server;
    server.start(QStringLiteral(KORVEL_SOURCE_DIR "/scripts/couchdb-server"),
                 { QStringLiteral("start"), QStringLiteral("--state"), state });
    server.waitForFinished(120000);
    return QString::fromUtf8(server.readAllStandardOutput().trimmed());
}

void stopServer(const QString &state)
{
    QProcess::execute(QStringLiteral(KORVEL_SOURCE_DIR "/scripts/couchdb-server"),
                      { QStringLiteral("stop"), QStringLiteral("--state"), state });
}

bool createDatabase(const QString &url)
{
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.put(QNetworkRequest(QUrl(url)), QByteArray());
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    reply->deleteLater();
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 201;
}

QStringList batch()
{
    QStringList documents;
    for (int i = 0; i < 25; ++i)
        documents << QStringLiteral(
                         "{\"_id\":\"%1\",\"timestamp\":1700000000000,\"type\":\"bench.upload\","
                         "\"application\":\"KorvelBench\",\"value\":%2,\"ok\":true,"
                         "\"note\":\"a fixed text to reach about two hundred bytes\"}")
                         .arg(generateUniqueId())
                         .arg(i);
    return documents;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int batches = argc > 1 ? QByteArray(argv[1]).toInt() : 50;
    QTemporaryDir state;
    const QString server = startServer(state.path());
    if (server.isEmpty() || !createDatabase(server + QStringLiteral("/bench"))) {
        std::fprintf(stderr, "no pouchdb-server: run scripts/setup first\n");
        return 1;
    }

    Singleton<NetworkManager>::getInstance()->setNetworkAccessManager(new TimingManager);
    CouchDbDocumentUploader uploader(server, QStringLiteral("bench"));
    QVector<double> roundTrips, library;
    g_clock.start();
    for (int i = 0; i < batches + 5; ++i) { // the first five warm the connection up
        const QStringList documents = batch();
        QEventLoop loop;
        bool ok = false;
        qint64 finishedAt = 0;
        auto connection
            = QObject::connect(&uploader, &DocumentUploader::finished, &loop, [&](bool success) {
                  finishedAt = g_clock.nsecsElapsed();
                  ok = success;
                  loop.quit();
              });
        const qint64 start = g_clock.nsecsElapsed();
        uploader.addDocuments(documents);
        const qint64 handedOver = g_clock.nsecsElapsed();
        loop.exec();
        QObject::disconnect(connection);
        if (!ok) {
            std::fprintf(stderr, "upload %d failed\n", i);
            return 1;
        }
        if (i < 5)
            continue;
        roundTrips << (finishedAt - start) / 1e3;
        library << ((handedOver - start) + (finishedAt - g_replyEnded)) / 1e3;
    }
    stopServer(state.path());

    const double trip = median(roundTrips);
    const double own = median(library);
    std::printf("\nOne batch of 25 documents (~200 bytes each) to pouchdb-server on 127.0.0.1, "
                "median of %d\n",
                batches);
    std::printf("| what | us | share of the round trip |\n|---|---|---|\n");
    std::printf("| round trip, addDocuments() to finished() (baseline) | %.0f | 1.000 |\n", trip);
    std::printf("| the library's own time (body, request, reply parsing) | %.0f | %.3f |\n", own,
                own / trip);
    return 0;
}
