#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/publisher.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/registry/backends.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

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
    cacheRecords(registerDestination(m_server->url(), QStringLiteral("locked")), 3);
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
    cacheRecords(storageId, 3);
    m_server->enqueue(FakeHttpServer::stalled("[]"));
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
    cacheRecords(registerDestination(m_server->url(), QStringLiteral("chain")), 30);
    Publisher publisher;
    QElapsedTimer clock;
    clock.start();
    publisher.initialize();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requestCount(), 1, 15000);
    QVERIFY(clock.elapsed() >= DataTransferFrequency);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requestCount(), 2, 15000);
    QVERIFY(clock.elapsed() >= 2 * DataTransferFrequency);
    QTRY_COMPARE(currentDataCollector()->getCachedElementsCount(), 0);
}

KORVEL_TEST_MAIN(TestPublisher)
#include "tst_publisher.moc"
