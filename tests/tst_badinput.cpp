#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/publisher.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/registry/backends.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include "fakehttpserver.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTimer>

#include <cmath>
#include <limits>

#include <unistd.h>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

namespace {

// Properties as QML would declare them on a Recorder.
class ValueRecorder : public Recorder
{
    Q_OBJECT
    Q_PROPERTY(double number MEMBER m_number)
    Q_PROPERTY(QString text MEMBER m_text)
    Q_PROPERTY(QVariantList list MEMBER m_list)
    Q_PROPERTY(QVariantMap map MEMBER m_map)
    Q_PROPERTY(QByteArray bytes MEMBER m_bytes)
    Q_PROPERTY(QDateTime when MEMBER m_when)
    Q_PROPERTY(QObject *object MEMBER m_object) // no JSON form: never recorded

public:
    double m_number = 1;
    QString m_text;
    QVariantList m_list;
    QVariantMap m_map;
    QByteArray m_bytes;
    QDateTime m_when;
    QObject *m_object = nullptr;
};

const QString kMainLock = QString::fromLatin1(kMainLockName);

// The process-wide services, started once on this thread; the publisher's timed chain is
// started on a thread that ends at once, so that its attempts never run: rows drive attempts
// by hand and must not meet a stray one.
void startLibrary()
{
    static QThread *chainThread = nullptr;
    if (chainThread)
        return;
    currentDataCollector()->initialize();
    currentBackends()->initialize();
    currentPublisher();
    chainThread = QThread::create([] { currentPublisher()->initialize(); });
    chainThread->start();
    chainThread->wait();
}

// id -> recordData of every cached row, as another SQLite client reads them.
QMultiMap<QString, QString> cachedRecords(const CacheConnection &connection)
{
    QSqlQuery query(connection.database());
    query.exec(QStringLiteral("SELECT id, recordData FROM telemetry"));
    QMultiMap<QString, QString> rows;
    while (query.next())
        rows.insert(query.value(0).toString(), query.value(1).toString());
    return rows;
}

// The cached records of one destination, as the publisher would read them.
QStringList cachedIds(int storageId)
{
    QStringList ids, records;
    if (!currentDataCollector()->getCacheByStorageId(storageId, ids, records))
        return { QStringLiteral("query failed") };
    for (int i = 0; i < ids.size(); ++i) { // each row carries its own id in its document
        if (QJsonDocument::fromJson(records.at(i).toUtf8()).object().value("_id") != ids.at(i))
            return { QStringLiteral("id mismatch in ") + records.at(i) };
    }
    ids.sort();
    return ids;
}

// Records three metrics through the real road; @p ids are their sorted ids once cached.
void recordThree(CouchDBBucket &bucket, int &storageId, QStringList &ids)
{
    Recorder recorder;
    recorder.setType(QStringLiteral("bad.input"));
    recorder.setBucket(&bucket);
    for (int i = 0; i < 3; ++i)
        recorder.record();
    storageId
        = currentBackends()->getStorageID(bucket.storageBackend(), bucket.storageLocationInfo());
    QTRY_COMPARE(cachedIds(storageId).size(), 3);
    ids = cachedIds(storageId);
}

// One attempt, started as soon as no flush holds the main lock.
void startAttempt(Publisher &publisher)
{
    bool started = false; // QTRY evaluates its condition more than once
    QTRY_VERIFY(started || (started = publisher.doPublishImpl()));
}

bool mainLockIsFree()
{
    return !SingleExecutor(kMainLock).isAnotherRunning();
}

// A zero-delay timer set now still fires: nothing has blocked the event loop for good.
void verifyEventLoopTurns()
{
    auto fired = std::make_shared<bool>(false);
    QTimer::singleShot(0, [fired] { *fired = true; });
    QTRY_VERIFY(*fired);
}

QString quoted(const QString &text)
{
    QString out;
    QDebug(&out) << text;
    return out.trimmed();
}

// The line the uploader writes for a failed transfer, from what Qt itself reports for a
// post to the same URL.
QString transferErrorLine(const QString &url, QNetworkReply::NetworkError &error)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setRawHeader("Content-Type", "application/json");
    std::unique_ptr<QNetworkReply> reply(manager.post(request, QByteArray(" {\"docs\": []}")));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(10000);
    error = reply->error();
    const char *name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(error);
    return QStringLiteral("critical: Transfer error: %1 %2")
        .arg(QLatin1String(name), quoted(reply->errorString()));
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(QRandomGenerator::global()->generate());
    return bytes;
}

enum class Stall { None, ResetMidReply, ReleaseLater };

enum class Obstacle { GarbageFile, Directory, ReadOnlyDirectory, WriteLock };

// The helper's "road" command: a whole library in a process of its own, with the distinct lines
// it logged and its last answer.
class Road
{
public:
    Road(const QStringList &launcher, const QStringList &arguments)
    {
        QStringList command
            = launcher + QStringList { QStringLiteral(KORVEL_HELPER_PATH) } + arguments;
        const QString program = command.takeFirst();
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(program, command);
    }

    // Sends @p request and waits for the answer that starts with @p reply.
    bool ask(const QByteArray &request, const QByteArray &reply)
    {
        answer.clear();
        m_process.write(request + '\n');
        return readUntil([&] { return answer.startsWith(reply); });
    }

    // The longest the helper's event loop went without turning, in ms; -1 without an answer.
    int longestStall() { return ask("ping", "pong ") ? answer.mid(5).toInt() : -1; }

    bool readUntil(const std::function<bool()> &done, int timeoutMs = 20000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!done()) {
            if (!m_process.canReadLine()
                && (deadline.hasExpired()
                    || !m_process.waitForReadyRead(int(deadline.remainingTime()))))
                return false;
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine().chopped(1);
                if (line == "recorded" || line.startsWith("pong "))
                    answer = line;
                else
                    log.insert(QString::fromUtf8(line));
            }
        }
        return true;
    }

    // Closes its input, on which it quits; true when it then ended normally.
    bool finish()
    {
        m_process.closeWriteChannel();
        return m_process.waitForFinished(10000) && m_process.exitStatus() == QProcess::NormalExit
            && m_process.exitCode() == 0;
    }

    QSet<QString> log;
    QByteArray answer;

private:
    QProcess m_process;
};

QStringList sorted(const QSet<QString> &lines)
{
    QStringList list = lines.values();
    list.sort();
    return list;
}

} // namespace

Q_DECLARE_METATYPE(Stall)
Q_DECLARE_METATYPE(Obstacle)

class TestBadInput : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    // Runs first: every row has a cache and a library of its own, in a helper process.
    void cacheObstacles_data();
    void cacheObstacles();
    void propertyValues_data();
    void propertyValues();
    void badDestinations_data();
    void badDestinations();
    void serverReplies_data();
    void serverReplies();

private:
    std::unique_ptr<MessageCapture> m_messages;
};

void TestBadInput::init()
{
    m_messages = std::make_unique<MessageCapture>();
}

void TestBadInput::cleanup()
{
    m_messages.reset();
}

void TestBadInput::cacheObstacles_data()
{
    QTest::addColumn<Obstacle>("obstacle");
    QTest::addColumn<QStringList>("log"); // every distinct line the library writes

    // SQLite's reason follows the fixed texts. With an unreadable cache the bucket has no
    // storage ID and drops its records; with none at all they wait for it under provisional IDs.
    const QString notADatabase
        = QStringLiteral(" \"file is not a database Unable to execute statement\"");
    const QString unopenable
        = QStringLiteral(" \"unable to open database file Error opening database\"");
    const QStringList garbage {
        "critical: Unable to search database for existing storage information " + notADatabase,
        "warning: Unable to retrieve storage ID",
        "critical: Cache database creation failed" + notADatabase,
        "critical: Backends database creation failed" + notADatabase,
        "critical: local cache update failed \"file is not a database\""
    };
    const QStringList directory {
        "critical: Connection to database failed" + unopenable,
        "critical: Failed to open data base for backend retrieval" + unopenable,
        "warning: Flush operation aborted, connection to database is closed."
    };
    QTest::addRow("garbage bytes instead of the cache") << Obstacle::GarbageFile << garbage;
    QTest::addRow("directory at the cache path") << Obstacle::Directory << directory;
    QTest::addRow("read-only cache directory")
        << Obstacle::ReadOnlyDirectory
        << QStringList { "critical: local cache update failed \"attempt to write a readonly "
                         "database\"" };
    QTest::addRow("write lock held past the busy time-out")
        << Obstacle::WriteLock
        << QStringList { "critical: local cache update failed \"database is locked\"" };
}

void TestBadInput::cacheObstacles()
{
    QFETCH(Obstacle, obstacle);
    QFETCH(QStringList, log);
    const bool requeued
        = obstacle == Obstacle::ReadOnlyDirectory || obstacle == Obstacle::WriteLock;

    // A cache of this row's own, which the helpers inherit.
    QTemporaryDir cacheHome;
    const QByteArray sharedHome = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cacheHome.path()));
    const auto restoreHome = qScopeGuard([&] { qputenv("XDG_CACHE_HOME", sharedHome); });
    const QString location = getCacheDataBaseLocation();
    const QString directory = QFileInfo(location).path();
    const auto restorePermissions = qScopeGuard([&] {
        QFile::setPermissions(directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    const QString server = QStringLiteral("http://127.0.0.1:1");
    const QString database = QStringLiteral("obstacles");

    std::unique_ptr<CacheConnection> cache;
    QMultiMap<QString, QString> earlier;
    if (requeued) {
        // An earlier run registered the destination and cached one record.
        QCOMPARE(runHelper({ "storage-id", server, database }), QByteArray("1"));
        QCOMPARE(runHelper({ "flush-one" }), QByteArray("0"));
        cache = std::make_unique<CacheConnection>();
        earlier = cachedRecords(*cache);
        QCOMPARE(earlier.size(), 1);
    }

    const QByteArray garbage = randomBytes(64 * 1024);
    QStringList launcher;
    switch (obstacle) {
    case Obstacle::GarbageFile: {
        QFile file(location);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(garbage) == garbage.size());
        break;
    }
    case Obstacle::Directory:
        QVERIFY(QDir().mkpath(location));
        break;
    case Obstacle::ReadOnlyDirectory: {
        QVERIFY(QFile::setPermissions(directory, QFile::ReadOwner | QFile::ExeOwner));
        // Root passes directory permissions unless it gives up these two capabilities.
        if (geteuid() == 0) {
            if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
                QSKIP("running as root, and setpriv (util-linux) is missing to drop "
                      "CAP_DAC_OVERRIDE for the helper");
            launcher
                = QStringList { "setpriv", "--bounding-set", "-dac_override,-dac_read_search" };
        }
        QStringList probe = launcher
            + QStringList { "sh", "-c",
                            "touch \"$0/probe\" 2>/dev/null && echo writable || echo read-only",
                            directory };
        QProcess prober;
        prober.start(probe.takeFirst(), probe);
        QVERIFY(prober.waitForFinished());
        const QByteArray verdict = prober.readAll().trimmed();
        if (verdict != "read-only")
            QSKIP(qPrintable("the helper cannot be kept from writing to a read-only directory: "
                             + (verdict.isEmpty() ? QStringLiteral("setpriv failed")
                                                  : QStringLiteral("it stays writable"))));
        break;
    }
    case Obstacle::WriteLock:
        QVERIFY(cache->exec(QStringLiteral("BEGIN IMMEDIATE")));
        break;
    }

    Road road(launcher, { "road", server, database });
    QVERIFY(road.ask("record 3", "recorded"));
    const QSet<QString> expected(log.cbegin(), log.cend());
    QVERIFY2(road.readUntil([&] { return road.log.contains(expected); }),
             qPrintable(sorted(road.log).join('\n')));
    // A write lock keeps a flush waiting 5 s; that must never hold up the event loop.
    const int stall = road.longestStall();
    QVERIFY2(stall >= 0 && stall < 2000, qPrintable(QString::number(stall)));
    QCOMPARE(sorted(road.log), sorted(expected));

    if (obstacle == Obstacle::GarbageFile) {
        QFile file(location);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(file.readAll() == garbage, "the unreadable cache file was changed");
    }
    if (requeued) {
        QCOMPARE(cachedRecords(*cache), earlier);
        if (obstacle == Obstacle::WriteLock)
            QVERIFY(cache->exec(QStringLiteral("ROLLBACK")));
        else
            QVERIFY(QFile::setPermissions(directory,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QTRY_COMPARE_WITH_TIMEOUT(cachedRecords(*cache).size(), 4, 15000);
        // Every requeued row arrived once, whole, and the cycle goes on without a complaint.
        QVERIFY(road.longestStall() >= 0);
        road.log.clear();
        QVERIFY(road.ask("record 1", "recorded"));
        QTRY_COMPARE_WITH_TIMEOUT(cachedRecords(*cache).size(), 5, 5000);
        const QMultiMap<QString, QString> rows = cachedRecords(*cache);
        for (auto row = rows.cbegin(); row != rows.cend(); ++row) {
            if (earlier.contains(row.key())) {
                QCOMPARE(row.value(), earlier.value(row.key()));
                continue;
            }
            const QJsonObject document = QJsonDocument::fromJson(row.value().toUtf8()).object();
            QCOMPARE(document.value("_id").toString(), row.key());
            QCOMPARE(document.value("type").toString(), QStringLiteral("cache.obstacle"));
        }
        QVERIFY(road.longestStall() >= 0);
        QCOMPARE(sorted(road.log), QStringList());
    }
    QVERIFY(road.finish());
}

void TestBadInput::propertyValues_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("value");
    const double inf = std::numeric_limits<double>::infinity();
    QTest::addRow("NaN") << QByteArray("number") << QVariant(std::nan(""));
    QTest::addRow("+infinity") << QByteArray("number") << QVariant(inf);
    QTest::addRow("-infinity") << QByteArray("number") << QVariant(-inf);
    QTest::addRow("10 MB string") << QByteArray("text")
                                  << QVariant(QString(10 * 1024 * 1024, QLatin1Char('x')));
    QTest::addRow("unpaired surrogate")
        << QByteArray("text") << QVariant(QStringLiteral("a") + QChar(0xd800) + "b");
    QVariant nested = QStringLiteral("bottom \"q\"");
    for (int depth = 0; depth < 40; ++depth)
        nested = depth % 2 ? QVariant(QVariantMap { { "k\"%1", nested }, { "n", depth } })
                           : QVariant(QVariantList { nested, std::nan(""), QVariant() });
    QTest::addRow("nested list") << QByteArray("list") << QVariant(nested.toList());
    QTest::addRow("nested map") << QByteArray("map")
                                << QVariant(QVariantMap { { "inner", nested }, { "", 0 } });
    QTest::addRow("QByteArray") << QByteArray("bytes")
                                << QVariant(QByteArray("a\0b\xff\xfe\"}", 7) + randomBytes(64));
    QTest::addRow("QDateTime") << QByteArray("when")
                               << QVariant(QDateTime(QDate(2024, 2, 29), QTime(23, 59, 59, 999),
                                                     Qt::OffsetFromUTC, -3600));
    QTest::addRow("empty type") << QByteArray("type") << QVariant(QString());
    QTest::addRow("10 000-character type")
        << QByteArray("type") << QVariant(QString(10000, QChar(0xe9)));
    QTest::addRow("type with quotes and placeholder")
        << QByteArray("type") << QVariant(QStringLiteral("a \"b\" %1 \\ '%2'"));
}

void TestBadInput::propertyValues()
{
    QFETCH(QByteArray, property);
    QFETCH(QVariant, value);
    startLibrary();
    currentDataCollector()->clearCache();
    CouchDBBucket bucket;
    bucket.setServer(QUrl(QStringLiteral("http://127.0.0.1:1")));
    bucket.setDatabase(QStringLiteral("values"));
    ValueRecorder recorder;
    recorder.setType(QStringLiteral("values"));
    recorder.setBucket(&bucket);
    QVERIFY(recorder.setProperty(property, value));
    recorder.record();

    CacheConnection reader;
    QTRY_COMPARE_WITH_TIMEOUT(cachedRecords(reader).size(), 1, 10000);
    const QString id = cachedRecords(reader).firstKey();
    const QString cached = cachedRecords(reader).first();
    QJsonParseError error;
    const QJsonObject document = QJsonDocument::fromJson(cached.toUtf8(), &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
    QCOMPARE(document.value("_id").toString(), id);

    const QVariantMap map {
        { "_id", id },
        { "timestamp", qint64(document.value("timestamp").toDouble()) },
        { "type", recorder.type() },
        { "number", recorder.m_number },
        { "text", recorder.m_text },
        { "list", recorder.m_list },
        { "map", recorder.m_map },
        { "bytes", recorder.m_bytes },
        { "when", recorder.m_when },
    };
    const QString expected
        = QString::fromUtf8(QJsonDocument::fromVariant(map).toJson(QJsonDocument::Compact));
    int differs = 0;
    while (differs < qMin(cached.size(), expected.size()) && cached[differs] == expected[differs])
        ++differs;
    QVERIFY2(cached == expected,
             qPrintable(QStringLiteral("first difference at %1: cached \"%2\", expected \"%3\"")
                            .arg(differs)
                            .arg(cached.mid(differs, 60), expected.mid(differs, 60))));
    QCOMPARE(m_messages->all(), QStringList());
    verifyEventLoopTurns();
}

void TestBadInput::badDestinations_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QNetworkReply::NetworkError>("error");
    const QString refused = QStringLiteral("http://127.0.0.1:%1").arg(FakeHttpServer::unusedPort());
    const auto connectionRefused = QNetworkReply::ConnectionRefusedError;
    QTest::addRow("database with quotes, spaces, placeholder")
        << refused << QStringLiteral("my \"db\" %1 '; DROP") << connectionRefused;
    QTest::addRow("non-ASCII database")
        << refused << QStringLiteral("donn\u00e9es-\u65e5\u672c-\U0001F600") << connectionRefused;
    QTest::addRow("server path with quotes, spaces, non-ASCII")
        << refused + QStringLiteral("/a b/\"q\"/\u00e9%1") << QStringLiteral("db")
        << connectionRefused;
    QTest::addRow("server without scheme")
        << QStringLiteral("localhost:%1").arg(FakeHttpServer::unusedPort()) << QStringLiteral("db")
        << QNetworkReply::ProtocolUnknownError;
    QTest::addRow("bare address without scheme")
        << QStringLiteral("127.0.0.1:%1").arg(FakeHttpServer::unusedPort()) << QStringLiteral("db")
        << QNetworkReply::ProtocolUnknownError;
}

void TestBadInput::badDestinations()
{
    QFETCH(QString, server);
    QFETCH(QString, database);
    QFETCH(QNetworkReply::NetworkError, error);
    startLibrary();
    currentDataCollector()->clearCache();
    currentBackends()->clearRegisteredBackends(); // so that the attempt has one destination
    CouchDBBucket bucket;
    bucket.setServer(QUrl(server));
    bucket.setDatabase(database);
    int storageId = -1;
    QStringList ids;
    recordThree(bucket, storageId, ids);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(storageId > 0);
    QCOMPARE(m_messages->all(), QStringList());

    QNetworkReply::NetworkError qtError = QNetworkReply::NoError;
    const QString line = transferErrorLine(
        bucket.server().toString(QUrl::FullyEncoded) + '/' + database + "/_bulk_docs", qtError);
    QCOMPARE(qtError, error);
    Publisher publisher;
    startAttempt(publisher);
    QTRY_VERIFY(mainLockIsFree());
    QCOMPARE(m_messages->all(), QStringList { line });
    QCOMPARE(cachedIds(storageId), ids);
    verifyEventLoopTurns();
}

void TestBadInput::serverReplies_data()
{
    using Reply = FakeHttpServer::Reply;
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<Stall>("stall");
    QTest::addColumn<QStringList>("logs"); // "{storage}" stands for the storage ID

    // Every reply names no record that was sent, so all three stay cached.
    const QStringList closed { QStringLiteral(
        "critical: Transfer error: RemoteHostClosedError \"Connection closed\"") };
    Reply garbage;
    garbage.bytes = randomBytes(4096).replace("HTTP", "xxxx");
    QTest::addRow("garbage instead of HTTP") << garbage << Stall::None << closed;
    Reply cut = FakeHttpServer::json(R"([{"id":"a","rev":"1"}])");
    cut.bytes.replace("Content-Length: ", "Content-Length: 9");
    QTest::addRow("closed before Content-Length") << cut << Stall::None << closed;
    const QByteArray array = R"([{"id":"a","rev":"1-x"}])";
    QTest::addRow("closed mid-reply")
        << FakeHttpServer::stalled(array) << Stall::ResetMidReply << closed;
    QTest::addRow("body that does not end until released")
        << FakeHttpServer::stalled(array) << Stall::ReleaseLater
        << QStringList { "warning: Destination {storage} stored 0 of 3 records, 3 kept in the "
                         "cache, 0 set aside; first error: not named in the answer" };
    QTest::addRow("10 MB JSON array")
        << FakeHttpServer::json("[" + QByteArray(10 * 1024 * 1024, ' ') + R"({"id":"a"}])")
        << Stall::None
        << QStringList {
               "warning: Upload aborted, the answer is larger than 1048576 bytes",
               "critical: Transfer error: OperationCanceledError \"Operation canceled\""
           };
    QTest::addRow("512 KB of text")
        << FakeHttpServer::json(QByteArray(512 * 1024, 'x'), 200) << Stall::None
        << QStringList { "critical: JSON parse error:  \"illegal value\"" };
}

void TestBadInput::serverReplies()
{
    QFETCH(FakeHttpServer::Reply, reply);
    QFETCH(Stall, stall);
    QFETCH(QStringList, logs);
    startLibrary();
    currentDataCollector()->clearCache();
    currentBackends()->clearRegisteredBackends();
    FakeHttpServer http;
    QVERIFY(http.listen());
    // Qt resends a request once when the connection fails early, so every request gets it.
    stall == Stall::None ? http.setDefaultReply(reply) : http.enqueue(reply);
    CouchDBBucket bucket;
    bucket.setServer(QUrl(http.url()));
    bucket.setDatabase(QStringLiteral("replies"));
    int storageId = -1;
    QStringList ids;
    recordThree(bucket, storageId, ids);
    if (QTest::currentTestFailed())
        return;

    Publisher publisher;
    startAttempt(publisher);
    QTRY_VERIFY(http.requestCount() >= 1);
    const QJsonObject sent = QJsonDocument::fromJson(http.requests().first().body).object();
    QCOMPARE(sent.value("docs").toArray().size(), 3);
    if (stall != Stall::None) {
        // Another exchange completes while the upload waits; the upload keeps the main lock.
        QNetworkAccessManager manager;
        std::unique_ptr<QNetworkReply> witness(manager.get(QNetworkRequest(QUrl(http.url()))));
        QSignalSpy witnessed(witness.get(), &QNetworkReply::finished);
        QVERIFY(witnessed.wait(10000));
        QVERIFY(!mainLockIsFree());
        QCOMPARE(cachedIds(storageId), ids);
        stall == Stall::ResetMidReply ? http.reset() : http.release();
    }
    QTRY_VERIFY(mainLockIsFree());
    logs.replaceInStrings(QStringLiteral("{storage}"), QString::number(storageId));
    QCOMPARE(m_messages->all(), logs);
    QCOMPARE(cachedIds(storageId), ids);
    verifyEventLoopTurns();
}

KORVEL_TEST_MAIN(TestBadInput)
#include "tst_badinput.moc"
