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

// Caches @p count records for @p storageId, oldest first, and returns their ids in that order.
QStringList cacheRecords(int storageId, int count, qint64 firstTimestamp = 1000)
{
    QStringList ids;
    for (int i = 0; i < count; ++i) {
        ids << generateUniqueId();
        currentDataCollector()->collect(ids.last(), firstTimestamp + i, storageId,
                                        QStringLiteral("{\"_id\":\"%1\"}").arg(ids.last()));
    }
    currentDataCollector()->flush();
    return ids;
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

// The answer of a server that stored every one of @p ids.
QByteArray storedAnswer(const QStringList &ids)
{
    QJsonArray entries;
    for (const QString &id : ids)
        entries.append(QJsonObject { { "ok", true }, { "id", id }, { "rev", "1-a" } });
    return QJsonDocument(entries).toJson(QJsonDocument::Compact);
}

bool mainLockIsFree()
{
    return !SingleExecutor(kMainLock).isAnotherRunning();
}

// One attempt, driven by hand, and its upload when it starts one. A flush of the collector's
// own chain may hold the lock for a moment.
void attempt(Publisher &publisher)
{
    bool started = false;
    QTRY_VERIFY(started = started || publisher.doPublishImpl());
    QTRY_VERIFY(mainLockIsFree());
}

QStringList setAsideIds()
{
    QStringList ids;
    for (const SetAsideRecord &record : currentDataCollector()->setAsideRecords())
        ids << record.id;
    return ids;
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
    void attemptsWaitForConsentAndTheLock();
    void keepsWhatTheServerDidNotStore_data();
    void keepsWhatTheServerDidNotStore();
    void poisonRecordIsSetAside();
    void followUpAfterBatch_data();
    void followUpAfterBatch();
    void statusFollowsQueueAndBatches();

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
}

void TestPublisher::passesServeTenBeforeTwo()
{
    // Ten destinations on a fresh registry: storage IDs 1 to 10, records for 2 and 10 only.
    for (int i = 1; i <= 10; ++i)
        QCOMPARE(registerDestination(m_server->url(), QStringLiteral("d%1").arg(i)), i);
    const QStringList two = cacheRecords(2, 30);
    const QStringList ten = cacheRecords(10, 30, 5000);
    const QVector<QStringList> batches { ten.mid(0, 25), two.mid(0, 25), ten.mid(25), two.mid(25) };
    for (const QStringList &batch : batches)
        m_server->enqueue(FakeHttpServer::json(storedAnswer(batch)));

    Publisher publisher;
    attempt(publisher);
    QCOMPARE(m_server->requestCount(), 1); // the attempt walked past the empty "1"
    for (int i = 1; i < 20; ++i) // more than the two passes need
        attempt(publisher);

    const QVector<FakeHttpServer::Request> requests = m_server->requests();
    QCOMPARE(requests.size(), 4);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(requests.at(i).target, QByteArray(i % 2 ? "/d2/_bulk_docs" : "/d10/_bulk_docs"));
        QCOMPARE(postedIds(requests.at(i)), batches.at(i));
    }
    // Each outcome is handled once, though the uploaders are the same in both passes.
    const QString full = "warning: deleted:  25", rest = "warning: deleted:  5";
    QCOMPARE(m_messages->all(), (QStringList { full, full, rest, rest }));
}

void TestPublisher::attemptsWaitForConsentAndTheLock()
{
    const QStringList ids = cacheRecords(registerDestination(m_server->url(), "waiting"), 3);
    m_server->enqueue(FakeHttpServer::json(storedAnswer(ids)));
    Publisher publisher;
    const auto enable = qScopeGuard([] { TelemetryPolicy::setEnabled(true); });
    TelemetryPolicy::setEnabled(false);
    QVERIFY(!publisher.doPublishImpl());
    TelemetryPolicy::setEnabled(true);
    auto holder = startHelper({ QStringLiteral("hold"), kMainLock });
    QCOMPARE(readHelperLine(*holder), QByteArray("held"));
    QVERIFY(!publisher.doPublishImpl());
    QCOMPARE(m_server->requestCount(), 0);

    holder->closeWriteChannel();
    QVERIFY(holder->waitForFinished());
    attempt(publisher);
    QCOMPARE(m_messages->all(), QStringList { "warning: deleted:  3" });
}

void TestPublisher::keepsWhatTheServerDidNotStore_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body"); // of every answer; "{n}" stands for the n-th record's id
    QTest::addColumn<QList<int>>("cached");
    QTest::addColumn<QList<int>>("setAside");
    QTest::addColumn<int>("warnings"); // one per batch not stored in full, unless transient

    const QList<int> all { 0, 1, 2 };
    // Narrowed down, the batch would have set a record aside by the fourth attempt.
    QTest::addRow("500") << 500 << QByteArray("{}") << all << QList<int>() << 0;
    QTest::addRow("401") << 401 << QByteArray("{}") << all << QList<int>() << 4;
    QTest::addRow("unauthorized entries")
        << 201 << QByteArray(R"([{"id":"{0}","error":"unauthorized"}])") << all << QList<int>()
        << 4;
    // Conflict means stored; a record missing from the answer is kept; forbidden thrice running
    // sets that record aside.
    QTest::addRow("conflict, forbidden, missing")
        << 201
        << QByteArray(R"([{"id":"{0}","error":"conflict"},)"
                      R"({"id":"{1}","error":"forbidden","reason":"no"}])")
        << QList<int> { 2 } << QList<int> { 1 } << 4;
}

void TestPublisher::keepsWhatTheServerDidNotStore()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QList<int>, cached);
    QFETCH(QList<int>, setAside);
    QFETCH(int, warnings);

    const int storageId = registerDestination(m_server->url(), QStringLiteral("partial"));
    const QStringList records = cacheRecords(storageId, 3);
    for (int i = 0; i < records.size(); ++i)
        body.replace(QStringLiteral("{%1}").arg(i).toUtf8(), records.at(i).toUtf8());
    m_server->setDefaultReply(FakeHttpServer::reply(status, "Answer", body));
    const auto purge = qScopeGuard([] { currentDataCollector()->purgeSetAside(setAsideIds()); });

    Publisher publisher;
    for (int i = 0; i < 4; ++i)
        attempt(publisher);
    QStringList cachedIds, documents, expectedCached, expectedSetAside;
    for (int i : cached)
        expectedCached << records.at(i);
    for (int i : setAside)
        expectedSetAside << records.at(i);
    QVERIFY(currentDataCollector()->getCacheByStorageId(storageId, cachedIds, documents));
    QCOMPARE(cachedIds, expectedCached);
    QCOMPARE(setAsideIds(), expectedSetAside);
    QCOMPARE(m_messages->all().filter("warning: Destination ").size(), warnings);
    QCOMPARE(m_messages->all().filter("warning: Record ").size(), setAside.size());
}

// pouchdb-server refuses a whole batch with 500 for one document with a reserved "_" member.
void TestPublisher::poisonRecordIsSetAside()
{
    const QString server = couchDbUrl();
    const QString database = QStringLiteral("poison-%1").arg(QDateTime::currentMSecsSinceEpoch());
    QVERIFY2(!server.isEmpty() && httpRequest("PUT", server + '/' + database).status == 201,
             "no CouchDB-compatible server to create a database on: run through ctest");
    const int storageId = registerDestination(server, database);
    QStringList good = cacheRecords(storageId, 10);
    const QString poisonId = generateUniqueId();
    const QString poison = QStringLiteral("{\"_id\":\"%1\",\"_bad\":1}").arg(poisonId);
    currentDataCollector()->collect(poisonId, 1010, storageId, poison);
    good += cacheRecords(storageId, 14, 1011);

    Publisher publisher;
    for (int i = 0; i < 30 && currentDataCollector()->getCachedElementsCount() > 0; ++i)
        attempt(publisher);
    QCOMPARE(currentDataCollector()->getCachedElementsCount(), 0);
    const QStringList arrived = couchDbDocuments(server, database).keys();
    QCOMPARE(QSet<QString>(arrived.begin(), arrived.end()),
             QSet<QString>(good.begin(), good.end()));
    QCOMPARE(setAsideIds(), QStringList { poisonId });
    const SetAsideRecord aside = currentDataCollector()->setAsideRecords().first();
    QCOMPARE(aside.storageId, storageId);
    QCOMPARE(aside.timestamp, 1010);
    QCOMPARE(aside.record, poison);
    QVERIFY2(aside.reason.startsWith("doc_validation"), qPrintable(aside.reason));
    QCOMPARE(m_messages->all().filter("warning: Record ").size(), 1);

    // Retried, it is cached again; set aside by hand and purged, it is gone.
    QVERIFY(currentDataCollector()->retrySetAside({ poisonId }));
    QCOMPARE(currentDataCollector()->getCachedElementsCount(), 1);
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
    m_server->enqueue(
        FakeHttpServer::json(storedAnswer(cacheRecords(storageId, first).mid(0, 25))));

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

// One destination through an upload in flight, a refusal and a success.
void TestPublisher::statusFollowsQueueAndBatches()
{
    const int storageId = registerDestination(m_server->url() + "/", QStringLiteral("shown"));
    const QString destination = m_server->url() + "/shown";
    m_server->enqueue(FakeHttpServer::stalled(storedAnswer(cacheRecords(storageId, 1))));
    Publisher publisher;
    bool started = false;
    QTRY_VERIFY(started = started || publisher.doPublishImpl());
    QTRY_COMPARE(m_server->requestCount(), 1);
    // The upload holds the lock until its answer has been handled: these stay queued.
    const QStringList ids = cacheRecords(storageId, 3);
    TelemetryStatus *status = currentTelemetryStatus();
    QTRY_COMPARE(status->queuedCount(), 3);

    QSignalSpy queued(status, &TelemetryStatus::queuedCountChanged);
    QSignalSpy error(status, &TelemetryStatus::lastErrorChanged);
    QSignalSpy published(status, &TelemetryStatus::lastPublishChanged);
    QSignalSpy batches(status, &TelemetryStatus::batchPublished);
    QObject receiver;
    int cachedAtBatch = -1;
    QList<int> cachedSeen;
    connect(status, &TelemetryStatus::cachedCountsChanged, &receiver,
            [&] { cachedSeen << status->cachedCount(); });
    connect(status, &TelemetryStatus::batchPublished, &receiver,
            [&] { cachedAtBatch = status->cachedCount(); });
    m_server->release();
    QTRY_VERIFY(mainLockIsFree());
    currentDataCollector()->flush();
    QTRY_COMPARE(status->cachedCount(), 3);
    QCOMPARE(status->cachedCounts(), QVariantMap({ { destination, 3 } }));
    QCOMPARE(status->queuedCount(), 0);

    // Refused for credentials: the records stay, the error shows.
    m_server->enqueue(FakeHttpServer::reply(401, "Unauthorized", "{\"error\":\"unauthorized\"}"));
    attempt(publisher);
    QTRY_COMPARE(status->lastErrorStatus(), 401);
    QVERIFY(!status->lastError().isEmpty());

    m_server->enqueue(FakeHttpServer::json(storedAnswer(ids)));
    attempt(publisher);
    QTRY_COMPARE(batches.count(), 2);
    QCOMPARE(batches.last(), QVariantList({ destination, 3 }));
    QCOMPARE(cachedAtBatch, 0);
    QCOMPARE(status->lastPublishDestination(), destination);
    QCOMPARE(status->lastPublishCount(), 3);
    QCOMPARE(status->lastErrorStatus(), 0);
    QVERIFY(status->lastError().isEmpty());
    QVERIFY(status->cachedCounts().isEmpty());

    // Every flush and answer refreshed the counts; only changes were signalled. A flush of the
    // collector's own chain may write the 3 before the first answer's count of 0.
    QCOMPARE(queued.count(), 1);
    QVERIFY2(cachedSeen == QList<int>({ 0, 3, 0 }) || cachedSeen == QList<int>({ 3, 0 }),
             qPrintable(QStringLiteral("cached counts signalled: %1").arg(cachedSeen.size())));
    QCOMPARE(error.count(), 2);
    QCOMPARE(published.count(), 2);
}

KORVEL_TEST_MAIN(TestPublisher)
#include "tst_publisher.moc"
