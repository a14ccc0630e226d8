// The recording processes of the stress program. Each tells the controller on stdout, a line
// per event: "r SEQUENCE [poison]" (a record was handed to record()), "uploading" (an attempt
// started an upload) and "queued N" (once a second). A worker obeys commands on stdin: "stop"
// (recording), "quit", "poison" (record one document whose batches the server refuses whole),
// "kill-in-flush" and "kill-in-upload" (SIGKILL itself at that moment of its next flush or
// upload).
#include "stress.h"

#include "childprocess.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/networkmanager.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/singleton.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace kl::telemetry::stress {

namespace {

void say(const QByteArray &line)
{
    std::printf("%s\n", line.constData());
}

class StressRecorder : public Recorder
{
    Q_OBJECT
    Q_PROPERTY(QString source MEMBER m_source)
    Q_PROPERTY(int sequence MEMBER m_sequence)
    Q_PROPERTY(QString payload MEMBER m_payload)

public:
    QString m_source;
    int m_sequence = 0;
    QString m_payload;
};

// A member with a leading underscore is reserved: the server refuses every batch holding it.
class PoisonRecorder : public StressRecorder
{
    Q_OBJECT
    Q_PROPERTY(bool _poison MEMBER m_poison)

public:
    bool m_poison = true;
};

// Records into the two destinations in turn and publishes as fast as the lock lets it: the
// next attempt comes 100 ms after the last one ended, so that a run drains in seconds.
class StressProcess : public QObject
{
public:
    StressProcess(const QString &server, const QString &source)
    {
        for (int i = 0; i < 2; ++i) {
            m_buckets[i].setServer(QUrl(server));
            m_buckets[i].setDatabase(databaseFor(i));
        }
        for (StressRecorder *recorder : { &m_recorder, static_cast<StressRecorder *>(&m_poison) }) {
            recorder->setType(QStringLiteral("stress"));
            recorder->m_source = source;
        }
        // Deferred, so that the uploader and the publisher have handled the reply first.
        connect(m_manager, &QNetworkAccessManager::finished, this, [this](QNetworkReply *reply) {
            QTimer::singleShot(reply->error() ? 500 : 100, this, &StressProcess::publish);
        });
    }

    void record(bool poison = false)
    {
        StressRecorder &recorder = poison ? m_poison : m_recorder;
        recorder.setBucket(&m_buckets[m_next % 2]);
        recorder.m_sequence = m_next;
        recorder.m_payload = payloadFor(recorder.m_source, m_next);
        recorder.record();
        say("r " + QByteArray::number(m_next++) + (poison ? " poison" : ""));
    }

    void publish()
    {
        const bool attempted = currentPublisher()->doPublishImpl();
        const auto replies
            = m_manager->findChildren<QNetworkReply *>(QString(), Qt::FindDirectChildrenOnly);
        for (QNetworkReply *reply : replies) {
            if (attempted && !reply->isFinished()) {
                say("uploading");
                return onUpload(reply); // the manager's finished() goes on from there
            }
        }
        QTimer::singleShot(100, this, &StressProcess::publish);
    }

    std::function<void(QNetworkReply *)> onUpload = [](QNetworkReply *) {};

private:
    QNetworkAccessManager *m_manager
        = Singleton<NetworkManager>::getInstance()->networkAccessManager();
    CouchDBBucket m_buckets[2];
    StressRecorder m_recorder;
    PoisonRecorder m_poison;
    int m_next = 0;
};

// "Commited" is written inside the flush's transaction, before its commit: dying there leaves
// the lock held and a hot journal behind.
void armKillInFlush()
{
    static const QtMessageHandler standard = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            if (type == QtDebugMsg && text.startsWith(QLatin1String("Commited")))
                std::raise(SIGKILL);
            if (type != QtDebugMsg)
                standard(type, context, text);
        });
    QLoggingCategory::setFilterRules(QStringLiteral("korvel.telemetry.debug=true"));
}

// Dies once the whole request has been written: the server may or may not have stored it.
void killWhenSent(QNetworkReply *reply)
{
    QObject::connect(reply, &QNetworkReply::uploadProgress, [](qint64 sent, qint64 total) {
        if (total > 0 && sent == total)
            std::raise(SIGKILL);
    });
}

} // namespace

int runProcess(const QString &mode, const QString &server, const QString &source)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Only this process's own attempts publish, so that attempts never overlap an upload.
    test::parkPublisherChain();
    // A third of the library's own time-out, so that a silent server costs the run less.
    Singleton<NetworkManager>::getInstance()->setUploadTimeout(10000);
    StressProcess process(server, source);
    QTimer recording, queued, cached;
    QObject::connect(&recording, &QTimer::timeout, [&process] { process.record(); });
    QObject::connect(&queued, &QTimer::timeout, [] {
        say("queued " + QByteArray::number(currentDataCollector()->getQueuedElementsCount()));
    });
    QObject::connect(&cached, &QTimer::timeout, [&] {
        // An empty queue alone may mean a flush is half-way and may still give the rows back;
        // with the main lock held here, no flush is.
        SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
        if (mainLock.tryToRun() && currentDataCollector()->getQueuedElementsCount() == 0) {
            cached.stop();
            QTimer::singleShot(0, &process, &StressProcess::publish);
        }
    });
    if (mode != QLatin1String("worker")) {
        for (int i = 0; i < 3; ++i)
            process.record();
        if (mode == QLatin1String("exit-record"))
            return 0;
        // Exits from inside the attempt that started an upload, with the request in flight and
        // the main lock held, once its records are cached. Gives up (exit code 4) after 60 s.
        process.onUpload = [](QNetworkReply *) { qApp->exit(0); };
        cached.start(50);
        QTimer::singleShot(60000, [] { qApp->exit(4); });
        return qApp->exec();
    }
    recording.start(40);
    queued.start(1000);
    test::readInputLines(
        &process,
        [&](const QByteArray &command) {
            if (command == "stop")
                recording.stop();
            else if (command == "quit")
                qApp->quit();
            else if (command == "poison")
                process.record(true);
            else if (command == "kill-in-flush")
                armKillInFlush();
            else if (command == "kill-in-upload")
                process.onUpload = killWhenSent;
        },
        [] { qApp->quit(); }); // the controller is gone
    process.publish();
    return qApp->exec();
}

} // namespace kl::telemetry::stress

#include "worker.moc"
