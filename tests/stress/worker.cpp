// The recording processes of the stress program. Each speaks to the controller on stdout, one
// line per event:
//   r SEQUENCE                              a record was handed to record()
//   uploading                               a publish attempt started an upload
//   stats ATTEMPTS LOCK_TAKEN QUEUED        cumulative, once a second
// and obeys commands on stdin: "stop" (recording), "quit", "kill-in-flush" and
// "kill-in-upload" (SIGKILL itself at that moment of its next flush or upload).
#include "stress.h"

#include "childprocess.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/networkmanager.h"
#include "telemetry/publishing/publisher.h"
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

QString databaseFor(int sequence)
{
    return databases().at(sequence % 2);
}

QStringList databases()
{
    return { QStringLiteral("stress-even"), QStringLiteral("stress-odd") };
}

QString payloadFor(const QString &source, int sequence)
{
    const QString unit = QStringLiteral("%1/%2;").arg(source).arg(sequence);
    return unit.repeated(200 / unit.size() + 1).left(200);
}

namespace {

void say(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
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

// One recorder per destination; sequence numbers alternate between them.
class Recording
{
public:
    Recording(const QString &server, const QString &source)
        : m_source(source)
    {
        for (int i = 0; i < 2; ++i) {
            m_buckets[i].setServer(QUrl(server));
            m_buckets[i].setDatabase(databaseFor(i));
            m_recorders[i].setType(QStringLiteral("stress"));
            m_recorders[i].setBucket(&m_buckets[i]);
            m_recorders[i].m_source = source;
        }
    }

    void recordOne()
    {
        StressRecorder &recorder = m_recorders[m_next % 2];
        recorder.m_sequence = m_next;
        recorder.m_payload = payloadFor(m_source, m_next);
        recorder.record();
        say("r " + QByteArray::number(m_next));
        ++m_next;
    }

private:
    QString m_source;
    CouchDBBucket m_buckets[2];
    StressRecorder m_recorders[2];
    int m_next = 0;
};

// Calls doPublishImpl() again shortly after the previous attempt is over, instead of once per
// DataTransferFrequency, so that a run drains in seconds.
class PublishDriver : public QObject
{
public:
    PublishDriver()
        : m_manager(Singleton<NetworkManager>::getInstance()->networkAccessManager())
    {
        // Deferred, so that the uploader and the publisher have handled the reply first.
        connect(m_manager, &QNetworkAccessManager::finished, this, [this](QNetworkReply *reply) {
            const bool failed = reply->error() != QNetworkReply::NoError;
            QTimer::singleShot(failed ? 500 : kPause, this, &PublishDriver::attempt);
        });
    }

    void start() { QTimer::singleShot(0, this, &PublishDriver::attempt); }

    std::function<void(QNetworkReply *)> onUploadStarted = [](QNetworkReply *) {};
    int attempts = 0;
    int lockTaken = 0;

private:
    void attempt()
    {
        ++attempts;
        if (!currentPublisher()->doPublishImpl()) {
            ++lockTaken;
            QTimer::singleShot(kPause, this, &PublishDriver::attempt);
            return;
        }
        if (QNetworkReply *reply = replyInFlight()) {
            say("uploading");
            onUploadStarted(reply);
            return; // the manager's finished() resumes the chain
        }
        QTimer::singleShot(kPause, this, &PublishDriver::attempt);
    }

    // Long enough for the flushes of every process to find the lock free now and then.
    static constexpr int kPause = 100;

    QNetworkReply *replyInFlight() const
    {
        const auto replies
            = m_manager->findChildren<QNetworkReply *>(QString(), Qt::FindDirectChildrenOnly);
        for (QNetworkReply *reply : replies) {
            if (!reply->isFinished())
                return reply;
        }
        return nullptr;
    }

    QNetworkAccessManager *m_manager;
};

QtMessageHandler standardHandler = nullptr;

// "Commited" is written inside the flush's transaction, before its commit: dying there leaves
// the lock held and a hot journal behind.
void killInFlushHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtDebugMsg)
        standardHandler(type, context, text);
    else if (text.startsWith(QLatin1String("Commited")))
        std::raise(SIGKILL);
}

void armKillInFlush()
{
    standardHandler = qInstallMessageHandler(killInFlushHandler);
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

int runWorker(const QString &server, const QString &source)
{
    Recording recording(server, source);
    PublishDriver driver;
    QTimer recordTimer;
    QObject::connect(&recordTimer, &QTimer::timeout, [&recording] { recording.recordOne(); });
    recordTimer.start(40);

    QTimer statsTimer;
    QObject::connect(&statsTimer, &QTimer::timeout, [&driver] {
        say(QStringLiteral("stats %1 %2 %3")
                .arg(driver.attempts)
                .arg(driver.lockTaken)
                .arg(currentDataCollector()->getQueuedElementsCount())
                .toLatin1());
    });
    statsTimer.start(1000);

    test::readInputLines(
        &driver,
        [&](const QByteArray &command) {
            if (command == "stop")
                recordTimer.stop();
            else if (command == "quit")
                qApp->quit();
            else if (command == "kill-in-flush")
                armKillInFlush();
            else if (command == "kill-in-upload")
                driver.onUploadStarted = killWhenSent;
        },
        [] { qApp->quit(); }); // the controller is gone
    driver.start();
    return qApp->exec();
}

int runExitRecord(const QString &server, const QString &source)
{
    Recording recording(server, source);
    for (int i = 0; i < 3; ++i)
        recording.recordOne();
    return 0;
}

// Exits from inside the attempt that started an upload, with the request in flight and the
// main lock held. Gives up (exit code 4) when no upload starts within 30 s.
int runExitUpload(const QString &server, const QString &source)
{
    Recording recording(server, source);
    for (int i = 0; i < 3; ++i)
        recording.recordOne();
    PublishDriver driver;
    driver.onUploadStarted = [](QNetworkReply *) { qApp->exit(0); };
    QTimer cached;
    QObject::connect(&cached, &QTimer::timeout, [&] {
        // An empty queue alone may mean a flush is half-way and may still give the rows back;
        // with the main lock held here, no flush is.
        SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
        if (mainLock.tryToRun() && currentDataCollector()->getQueuedElementsCount() == 0) {
            cached.stop();
            driver.start();
        }
    });
    cached.start(50);
    QTimer::singleShot(30000, [] { qApp->exit(4); });
    return qApp->exec();
}

} // namespace

int runProcess(const QString &mode, const QString &server, const QString &source)
{
    // Only the driver below publishes, so attempts never overlap an upload in flight.
    test::parkPublisherChain();
    if (mode == QLatin1String("worker"))
        return runWorker(server, source);
    if (mode == QLatin1String("exit-record"))
        return runExitRecord(server, source);
    if (mode == QLatin1String("exit-upload"))
        return runExitUpload(server, source);
    std::fprintf(stderr, "unknown mode %s\n", qPrintable(mode));
    return 2;
}

} // namespace kl::telemetry::stress

#include "worker.moc"
