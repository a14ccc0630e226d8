#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/publisher.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/registry/backends.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/status/telemetrystatus.h"

#include "fakehttpserver.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

namespace {

const QString kMainLock = QString::fromLatin1(kMainLockName);

int registerDestination(const QString &server, const QString &database)
{
    CouchDBBucket bucket;
    bucket.setServer(QUrl(server));
    bucket.setDatabase(database);
    return currentBackends()->getStorageID(bucket.storageBackend(), bucket.storageLocationInfo());
}

struct Cached
{
    QString id;
    QString record;
};

// Caches @p count records for @p storageId, oldest first, and returns them in that order.
QVector<Cached> cacheRecords(int storageId, int count, qint64 firstTimestamp = 1000)
{
    QVector<Cached> records;
    for (int i = 0; i < count; ++i) {
        const QString id = generateUniqueId();
        const QString record
            = QStringLiteral("{\"_id\":\"%1\",\"n\":%2,\"text\":\"\\u00e5 \\\"q\\\"\"}")
                  .arg(id)
                  .arg(i);
        currentDataCollector()->collect(id, firstTimestamp + i, storageId, record);
        records.append({ id, record });
    }
    currentDataCollector()->flush();
    return records;
}

// The documents of one request body, which the library writes as " {"docs": [...]}".
QStringList postedIds(const FakeHttpServer::Request &request)
{
    QStringList ids;
    const QJsonArray docs = QJsonDocument::fromJson(request.body).object().value("docs").toArray();
    for (const QJsonValue &doc : docs)
        ids << doc.toObject().value("_id").toString();
    return ids;
}

QStringList idsOf(const QVector<Cached> &records, int from, int count)
{
    QStringList ids;
    for (const Cached &record : records.mid(from, count))
        ids << record.id;
    return ids;
}

// The answer of a server that stored every one of @p ids.
FakeHttpServer::Reply storedReply(const QStringList &ids)
{
    QJsonArray entries;
    for (const QString &id : ids)
        entries.append(QJsonObject { { "ok", true }, { "id", id }, { "rev", "1-a" } });
    return FakeHttpServer::json(QJsonDocument(entries).toJson(QJsonDocument::Compact));
}

bool mainLockIsFree()
{
    return !SingleExecutor(kMainLock).isAnotherRunning();
}

// One attempt, driven by hand, and its upload when it starts one.
void attempt(Publisher &publisher)
{
    QVERIFY(publisher.doPublishImpl());
    QTRY_VERIFY(mainLockIsFree());
}

} // namespace

class TestPublisher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void passesServeTenBeforeTwo();
    void failedUploadDeletesNothing_data();
    void failedUploadDeletesNothing();
    void lockHeldElsewhereStopsAttempts();
    void uploadInFlightHoldsOffFlushes();
    void timedChainEndToEnd();

    void keepsWhatTheServerDidNotStore_data();
    void keepsWhatTheServerDidNotStore();
    void poisonRecordIsSetAside();
    void followUpAfterBatch_data();
    void followUpAfterBatch();
    void attemptSkipsEmptyDestinations();
    void statusFollowsQueueAndBatches();
    void disabledTelemetryPublishesNothing();

private:
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<MessageCapture> m_messages;
};

void TestPublisher::initTestCase()
{
    currentDataCollector()->initialize();
    currentBackends()->initialize();
}

void TestPublisher::init()
{
    m_messages = std::make_unique<MessageCapture>();
    m_server = std::make_unique<FakeHttpServer>();
    QVERIFY(m_server->listen());
    m_server->setDefaultReply(FakeHttpServer::json("[]"));
}

void TestPublisher::cleanup()
{
    m_messages.reset();
    currentDataCollector()->clearCache();
    currentBackends()->clearRegisteredBackends();
    m_server.reset();
}

void TestPublisher::passesServeTenBeforeTwo()
{
    // Ten destinations on a fresh registry: storage IDs 1 to 10, records for 2 and 10 only.
    for (int i = 1; i <= 10; ++i)
        QCOMPARE(registerDestination(m_server->url(), QStringLiteral("d%1").arg(i)), i);
    const QVector<Cached> two = cacheRecords(2, 30);
    const QVector<Cached> ten = cacheRecords(10, 30, 5000);
    for (const QStringList &batch :
         { idsOf(ten, 0, 25), idsOf(two, 0, 25), idsOf(ten, 25, 5), idsOf(two, 25, 5) })
        m_server->enqueue(storedReply(batch));

    Publisher publisher;
    for (int i = 0; i < 20; ++i) // two passes over ten destinations
        attempt(publisher);

    const QVector<FakeHttpServer::Request> requests = m_server->requests();
    QCOMPARE(requests.size(), 4);
    const QByteArrayList expectedTargets { "/d10/_bulk_docs", "/d2/_bulk_docs", "/d10/_bulk_docs",
                                           "/d2/_bulk_docs" };
    for (int i = 0; i < 4; ++i)
        QCOMPARE(requests.at(i).target, expectedTargets.at(i));
    QCOMPARE(postedIds(requests.at(0)), idsOf(ten, 0, 25));
    QCOMPARE(postedIds(requests.at(1)), idsOf(two, 0, 25));
    QCOMPARE(postedIds(requests.at(2)), idsOf(ten, 25, 5));
    QCOMPARE(postedIds(requests.at(3)), idsOf(two, 25, 5));
    QCOMPARE(currentDataCollector()->getCachedElementsCount(), 0);
    // Each outcome is handled once, though the uploaders are the same in both passes.
    const QString full = "warning: deleted:  25", rest = "warning: deleted:  5";
    QCOMPARE(m_messages->all(), (QStringList { full, full, rest, rest }));
}

void TestPublisher::failedUploadDeletesNothing_data()
{
    QTest::addColumn<bool>("serverDown");
    QTest::addRow("500 answer") << false;
    QTest::addRow("connection refused") << true;
}

void TestPublisher::failedUploadDeletesNothing()
{
    QFETCH(bool, serverDown);
    const QString server = serverDown
        ? QStringLiteral("http://127.0.0.1:%1").arg(FakeHttpServer::unusedPort())
        : m_server->url();
    const QVector<Cached> records
        = cacheRecords(registerDestination(server, QStringLiteral("flaky")), 30);
    m_server->enqueue(FakeHttpServer::reply(500, "Internal Server Error", "{}"));
    m_server->enqueue(storedReply(idsOf(records, 0, 25)));

    Publisher publisher;
    attempt(publisher);
    QCOMPARE(currentDataCollector()->getCachedElementsCount(), 30);
    QCOMPARE(m_messages->all().size(), 1);
    QVERIFY(m_messages->all().first().startsWith("critical: Transfer error:"));
    if (serverDown)
        return;

    // The destination's next turn, in the next pass, sends the same oldest records again.
    attempt(publisher);
    const QVector<FakeHttpServer::Request> requests = m_server->requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(postedIds(requests.at(0)), idsOf(records, 0, 25));
    QCOMPARE(requests.at(1).body, requests.at(0).body);
    QCOMPARE(currentDataCollector()->getCachedElementsCount(), 5);
}

void TestPublisher::lockHeldElsewhereStopsAttempts()
{
    const QVector<Cached> records
        = cacheRecords(registerDestination(m_server->url(), QStringLiteral("locked")), 3);
    m_server->enqueue(storedReply(idsOf(records, 0, 3)));
    auto holder = startHelper({ QStringLiteral("hold"), kMainLock });
    QCOMPARE(readHelperLine(*holder), QByteArray("held"));

    Publisher publisher;
    QVERIFY(!publisher.doPublishImpl());
    QVERIFY(!publisher.doPublishImpl());
    QCOMPARE(m_server->requestCount(), 0);

    holder->closeWriteChannel();
    QVERIFY(holder->waitForFinished());
    attempt(publisher);
    QCOMPARE(m_server->requestCount(), 1);
    QCOMPARE(m_messages->all(), QStringList { "warning: deleted:  3" });
}

void TestPublisher::uploadInFlightHoldsOffFlushes()
{
    const int storageId = registerDestination(m_server->url(), QStringLiteral("slow"));
    const QVector<Cached> records = cacheRecords(storageId, 3);
    FakeHttpServer::Reply stalled = storedReply(idsOf(records, 0, 3));
    stalled.ending = FakeHttpServer::Reply::Stall;
    stalled.cutAt = stalled.bytes.size() / 2;
    m_server->enqueue(stalled);
    Publisher publisher;
    QVERIFY(publisher.doPublishImpl());
    QTRY_COMPARE(m_server->requestCount(), 1);

    // The cache is not written while the upload holds the lock.
    currentDataCollector()->collect(generateUniqueId(), 1, storageId, QStringLiteral("{}"));
    currentDataCollector()->flush();
    QCOMPARE(currentDataCollector()->getQueuedElementsCount(), 1);
    QVERIFY(!mainLockIsFree());

    m_server->release();
    QTRY_VERIFY(mainLockIsFree());
    QCOMPARE(currentDataCollector()->getCachedElementsCount(), 0);
    currentDataCollector()->flush();
    QCOMPARE(currentDataCollector()->getCachedElementsCount(), 1);
}

// Through the timers: the first attempt no sooner than a period after the start.
void TestPublisher::timedChainEndToEnd()
{
    const QVector<Cached> records
        = cacheRecords(registerDestination(m_server->url(), QStringLiteral("chain")), 30);
    m_server->enqueue(storedReply(idsOf(records, 0, 25)));
    m_server->enqueue(storedReply(idsOf(records, 25, 5)));
    Publisher publisher;
    QElapsedTimer clock;
    clock.start();
    publisher.initialize();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requestCount(), 1, 2 * DataTransferFrequency + 5000);
    QVERIFY(clock.elapsed() >= DataTransferFrequency);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requestCount(), 2, 15000);
    QTRY_COMPARE(currentDataCollector()->getCachedElementsCount(), 0);
}

namespace {

QStringList cachedIds(int storageId)
{
    QStringList ids, documents;
    currentDataCollector()->getCacheByStorageId(storageId, ids, documents);
    return ids;
}

QStringList setAsideIds()
{
    QStringList ids;
    for (const SetAsideRecord &record : currentDataCollector()->setAsideRecords())
        ids << record.id;
    return ids;
}

int messagesStartingWith(const QStringList &messages, const QString &start)
{
    return int(std::count_if(messages.begin(), messages.end(),
                             [&](const QString &message) { return message.startsWith(start); }));
}

} // namespace

void TestPublisher::keepsWhatTheServerDidNotStore_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body"); // "{n}" stands for the id of the n-th record
    QTest::addColumn<int>("attempts"); // each answered with that body
    QTest::addColumn<QList<int>>("cached");
    QTest::addColumn<QList<int>>("setAside");

    QTest::addRow("unauthorized entries")
        << 201
        << QByteArray(R"([{"id":"{0}","error":"unauthorized"},{"id":"{1}","error":"unauthorized"},)"
                      R"({"id":"{2}","error":"unauthorized"}])")
        << 4 << QList<int> { 0, 1, 2 } << QList<int>();
    QTest::addRow("401") << 401 << QByteArray("{}") << 4 << QList<int> { 0, 1, 2 } << QList<int>();
    // Conflict means stored; a record missing from the answer is kept; forbidden thrice running
    // sets that record aside.
    QTest::addRow("conflict, forbidden, missing")
        << 201
        << QByteArray(R"([{"id":"{0}","error":"conflict"},)"
                      R"({"id":"{1}","error":"forbidden","reason":"no"}])")
        << 3 << QList<int> { 2 } << QList<int> { 1 };
}

void TestPublisher::keepsWhatTheServerDidNotStore()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, attempts);
    QFETCH(QList<int>, cached);
    QFETCH(QList<int>, setAside);

    const int storageId = registerDestination(m_server->url(), QStringLiteral("partial"));
    const QVector<Cached> records = cacheRecords(storageId, 3);
    for (int i = 0; i < records.size(); ++i)
        body.replace(QStringLiteral("{%1}").arg(i).toUtf8(), records.at(i).id.toUtf8());
    m_server->setDefaultReply(FakeHttpServer::reply(status, "Answer", body));
    const auto purge = qScopeGuard([] { currentDataCollector()->purgeSetAside(setAsideIds()); });

    Publisher publisher;
    for (int i = 0; i < attempts; ++i)
        attempt(publisher);
    const auto idsAt = [&records](const QList<int> &indexes) {
        QStringList ids;
        for (int i : indexes)
            ids << records.at(i).id;
        return ids;
    };
    QCOMPARE(cachedIds(storageId), idsAt(cached));
    QCOMPARE(setAsideIds(), idsAt(setAside));
    // One warning per batch, one line per record set aside.
    QCOMPARE(messagesStartingWith(m_messages->all(), "warning: Destination "), attempts);
    QCOMPARE(messagesStartingWith(m_messages->all(), "warning: Record "), setAside.size());
}

// pouchdb-server refuses a whole batch with 500 for one document with a reserved "_" member.
void TestPublisher::poisonRecordIsSetAside()
{
    const QString server = couchDbUrl();
    const QString database = QStringLiteral("poison-%1").arg(QDateTime::currentMSecsSinceEpoch());
    QVERIFY2(!server.isEmpty() && httpRequest("PUT", server + '/' + database).status == 201,
             "no CouchDB-compatible server to create a database on: run through ctest");
    const int storageId = registerDestination(server, database);
    QVector<Cached> good = cacheRecords(storageId, 10);
    const QString poisonId = generateUniqueId();
    const QString poison = QStringLiteral("{\"_id\":\"%1\",\"_bad\":1}").arg(poisonId);
    currentDataCollector()->collect(poisonId, 1010, storageId, poison);
    good += cacheRecords(storageId, 14, 1011);

    Publisher publisher;
    for (int i = 0; i < 30 && currentDataCollector()->getCachedElementsCount() > 0; ++i)
        attempt(publisher);
    QCOMPARE(currentDataCollector()->getCachedElementsCount(), 0);
    const QHash<QString, QJsonObject> arrived = couchDbDocuments(server, database);
    QCOMPARE(arrived.size(), 24);
    for (const Cached &record : good)
        QVERIFY(arrived.contains(record.id));
    const QVector<SetAsideRecord> aside = currentDataCollector()->setAsideRecords();
    QCOMPARE(aside.size(), 1);
    QCOMPARE(aside.first().id, poisonId);
    QCOMPARE(aside.first().storageId, storageId);
    QCOMPARE(aside.first().timestamp, 1010);
    QCOMPARE(aside.first().record, poison);
    QVERIFY2(aside.first().reason.startsWith("doc_validation"), qPrintable(aside.first().reason));
    QCOMPARE(messagesStartingWith(m_messages->all(), "warning: Record "), 1);

    // Retried, it is cached again; set aside by hand and purged, it is gone.
    QVERIFY(currentDataCollector()->retrySetAside({ poisonId }));
    QCOMPARE(cachedIds(storageId), QStringList { poisonId });
    QCOMPARE(setAsideIds(), QStringList());
    QVERIFY(currentDataCollector()->setAside(poisonId, QStringLiteral("by hand")));
    QVERIFY(currentDataCollector()->purgeSetAside({ poisonId }));
    QCOMPARE(setAsideIds(), QStringList());
    QCOMPARE(currentDataCollector()->getCachedElementsCount(), 0);
}

void TestPublisher::followUpAfterBatch_data()
{
    QTest::addColumn<int>("first"); // cached before the first attempt
    QTest::addColumn<int>("later"); // cached once that attempt's upload is over
    QTest::addColumn<bool>("soon"); // whether the second batch comes within the period
    QTest::addRow("full batch, more waiting") << 30 << 0 << true;
    QTest::addRow("partial batch") << 5 << 5 << false;
}

void TestPublisher::followUpAfterBatch()
{
    QFETCH(int, first);
    QFETCH(int, later);
    QFETCH(bool, soon);
    const int storageId = registerDestination(m_server->url(), QStringLiteral("backlog"));
    m_server->enqueue(storedReply(idsOf(cacheRecords(storageId, first), 0, 25)));

    // The chain's own first attempt comes a whole period after initialize() at the earliest,
    // so a second batch within the period follows the attempt made here.
    Publisher publisher;
    QElapsedTimer clock;
    clock.start();
    publisher.initialize();
    QVERIFY(publisher.doPublishImpl());
    if (later > 0) {
        QTRY_VERIFY(mainLockIsFree());
        cacheRecords(storageId, later, 5000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requestCount(), 2, 2 * DataTransferFrequency + 5000);
    QCOMPARE(clock.elapsed() < DataTransferFrequency, soon);
    QCOMPARE(postedIds(m_server->requests().at(1)).size(), 5);
}

void TestPublisher::attemptSkipsEmptyDestinations()
{
    // Only the destination that a pass visits last has records.
    QStringList keys;
    for (const char *database : { "e1", "e2", "e3" })
        keys << QString::number(registerDestination(m_server->url(), QLatin1String(database)));
    keys.sort();
    cacheRecords(keys.last().toInt(), 4);

    Publisher publisher;
    attempt(publisher);
    QCOMPARE(m_server->requestCount(), 1);
    QCOMPARE(postedIds(m_server->requests().first()).size(), 4);
}

void TestPublisher::statusFollowsQueueAndBatches()
{
    const int storageId = registerDestination(m_server->url() + "/", QStringLiteral("shown"));
    const QString destination = m_server->url() + "/shown";
    QStringList ids;
    SingleExecutor flushesWait(kMainLock);
    QVERIFY(flushesWait.tryToRun());
    for (int i = 0; i < 3; ++i) {
        ids << generateUniqueId();
        currentDataCollector()->collect(ids.last(), 1000 + i, storageId, QStringLiteral("{}"));
    }
    TelemetryStatus *status = currentTelemetryStatus();
    QTRY_COMPARE(status->queuedCount(), 3);
    QCOMPARE(status->cachedCount(), 0);

    QSignalSpy queued(status, &TelemetryStatus::queuedCountChanged);
    QSignalSpy cached(status, &TelemetryStatus::cachedCountsChanged);
    QSignalSpy error(status, &TelemetryStatus::lastErrorChanged);
    QSignalSpy published(status, &TelemetryStatus::lastPublishChanged);
    QSignalSpy batches(status, &TelemetryStatus::batchPublished);
    QObject receiver;
    int cachedAtBatch = -1;
    connect(status, &TelemetryStatus::batchPublished, &receiver,
            [&] { cachedAtBatch = status->cachedCount(); });
    flushesWait.release();
    currentDataCollector()->flush();
    QTRY_COMPARE(status->cachedCount(), 3);
    QCOMPARE(status->cachedCounts(), QVariantMap({ { destination, 3 } }));
    QCOMPARE(status->queuedCount(), 0);

    // Refused for credentials: the records stay, the error shows.
    m_server->enqueue(FakeHttpServer::reply(401, "Unauthorized", "{\"error\":\"unauthorized\"}"));
    Publisher publisher;
    attempt(publisher);
    QTRY_COMPARE(status->lastErrorStatus(), 401);
    QVERIFY(!status->lastError().isEmpty());
    QCOMPARE(status->cachedCount(), 3);
    QVERIFY(!status->lastPublishTime().isValid());

    m_server->enqueue(storedReply(ids));
    attempt(publisher);
    QTRY_COMPARE(batches.count(), 1);
    QCOMPARE(batches.first(), QVariantList({ destination, 3 }));
    QCOMPARE(cachedAtBatch, 0);
    QCOMPARE(status->lastPublishDestination(), destination);
    QCOMPARE(status->lastPublishCount(), 3);
    QVERIFY(status->lastPublishTime().isValid());
    QCOMPARE(status->lastErrorStatus(), 0);
    QVERIFY(status->lastError().isEmpty());
    QTRY_COMPARE(status->cachedCount(), 0);
    QVERIFY(status->cachedCounts().isEmpty());

    // Every flush and answer refreshed the counts; only changes were signalled.
    QCOMPARE(queued.count(), 1);
    QCOMPARE(cached.count(), 2);
    QCOMPARE(error.count(), 2);
    QCOMPARE(published.count(), 1);
}

void TestPublisher::disabledTelemetryPublishesNothing()
{
    const QVector<Cached> records
        = cacheRecords(registerDestination(m_server->url(), QStringLiteral("consent")), 3);
    m_server->enqueue(storedReply(idsOf(records, 0, 3)));
    Publisher publisher;
    TelemetryPolicy::setEnabled(false);
    QVERIFY(!publisher.doPublishImpl());
    TelemetryPolicy::setEnabled(true);
    QCOMPARE(m_server->requestCount(), 0);
    attempt(publisher);
    QCOMPARE(m_server->requestCount(), 1);
}

KORVEL_TEST_MAIN(TestPublisher)
#include "tst_publisher.moc"
