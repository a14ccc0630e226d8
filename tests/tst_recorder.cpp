#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/publisher.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/registry/backends_p.h"
#include "telemetry/runtime/cachefile_p.h"
#include "telemetry/runtime/runtime.h"

#include "testsupport.h"

#include <QtQml>

#include <cmath>
#include <limits>
#include <thread>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

Q_DECLARE_METATYPE(TelemetryPolicy::RecordFilter)

namespace {

// What QML does when it declares properties on a Recorder.
class DetailedRecorder : public Recorder
{
    Q_OBJECT
    Q_PROPERTY(QString text MEMBER m_text)
    Q_PROPERTY(double number MEMBER m_number)
    Q_PROPERTY(QVariantList list MEMBER m_list) // the whole record then converts as a map
    Q_PROPERTY(QObject *plainObject MEMBER m_plainObject)
    Q_PROPERTY(QTimer *typedObject MEMBER m_typedObject)
    Q_PROPERTY(int timestamp MEMBER m_timestamp)

public:
    QString m_text = QStringLiteral("caf\u00e9 \"quoted\"");
    double m_number = 2.5;
    QVariantList m_list { 1, "two", false };
    QObject *m_plainObject = this;
    QTimer *m_typedObject = nullptr;
    int m_timestamp = 7;
};

// A QML "property var": the value it holds decides how it is converted.
class VariantRecorder : public Recorder
{
    Q_OBJECT
    Q_PROPERTY(QVariant value MEMBER m_value)

public:
    QVariant m_value;
};

struct Placed
{
    QString id;
    QJsonObject document;
    QString text;
    int storageId;
};

// Everything the collector has written so far, oldest first; flushes the queue first.
QVector<Placed> placedRecords()
{
    currentDataCollector()->flush();
    QSqlQuery query(
        QStringLiteral("SELECT id, recordData, storageID FROM telemetry ORDER BY rowid"),
        QSqlDatabase::database(kRegistryConnectionName));
    QVector<Placed> placed;
    while (query.next())
        placed.append({ query.value(0).toString(),
                        QJsonDocument::fromJson(query.value(1).toString().toUtf8()).object(),
                        query.value(1).toString(), query.value(2).toInt() });
    return placed;
}

// What QJsonDocument writes for this map, with the record's own id and timestamp unless the
// map has its own.
QString asQtWritesIt(QVariantMap map, const Placed &placed)
{
    if (!map.contains("_id"))
        map.insert("_id", placed.id);
    if (!map.contains("timestamp"))
        map.insert("timestamp", qint64(placed.document.value("timestamp").toDouble()));
    return QString::fromUtf8(QJsonDocument::fromVariant(map).toJson(QJsonDocument::Compact));
}

// A Recorder as QML declares it with @p properties, from the module as applications import it
// (from the build tree; Qt 6 needs no version); null when it could not be made.
std::unique_ptr<Recorder> qmlRecorder(QQmlEngine &engine, const QByteArray &properties)
{
    engine.addImportPath(QStringLiteral(KORVEL_QML_IMPORT_DIR));
    QQmlComponent component(&engine);
    const QByteArray import
        = QT_VERSION_MAJOR == 5 ? "import Korvel.Telemetry 1.0\n" : "import Korvel.Telemetry\n";
    component.setData(import + "Recorder { " + properties + " }", QUrl());
    std::unique_ptr<QObject> object(component.create());
    if (!qobject_cast<Recorder *>(object.get())) {
        qWarning() << component.errorString();
        return {};
    }
    return std::unique_ptr<Recorder>(static_cast<Recorder *>(object.release()));
}

QJsonDocument placedDocument(int value)
{
    return QJsonDocument(
        QJsonObject { { "timestamp", 42 }, { "value", value }, { "text", "a \"b\"" } });
}

} // namespace

// The functions run in order: the process-wide registry and collector start uninitialised, and
// the first function initialises them.
class TestRecorder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void bucketsRetryAFailedLookup();
    void locationInfoText_data();
    void locationInfoText();
    void placedRowsKeepTheirFirstStorageId();
    void lookupsInTheEventLoopNeverWait_data();
    void lookupsInTheEventLoopNeverWait();
    void minimalDocuments();
    void declaredPropertiesConvertAsQtDoes();
    void valuesAreWrittenAsQtWritesThemInAMap_data();
    void valuesAreWrittenAsQtWritesThemInAMap();
    void noBucketNeverAsksThePolicy_data();
    void noBucketNeverAsksThePolicy();
    void untrackedTypeIsDropped_data();
    void untrackedTypeIsDropped();
    void filterChangesOrDropsRecords_data();
    void filterChangesOrDropsRecords();
    void nonAsciiPropertyNameIsKept();
    void serverHoldsWhatWasRecorded_data();
    void serverHoldsWhatWasRecorded();
    void publishingNeedsNoMainLoop();

private:
    CouchDBBucket m_bucket;
    std::unique_ptr<MessageCapture> m_messages;
};

void TestRecorder::initTestCase()
{
    QCoreApplication::setApplicationVersion(QStringLiteral("7.1")); // what buckets attach
    m_bucket.setServer(QUrl(QStringLiteral("http://127.0.0.1:1")));
    m_bucket.setDatabase(QStringLiteral("recorder"));
}

void TestRecorder::init()
{
    m_messages = std::make_unique<MessageCapture>();
}

void TestRecorder::cleanup()
{
    m_messages.reset();
    TelemetryPolicy::setPolicyImplementation([](const QString &) { return true; });
    TelemetryPolicy::setRecordFilter({});
    TelemetryPolicy::setEnabled(true);
    QLoggingCategory::setFilterRules(QString());
    currentDataCollector()->flush();
    currentDataCollector()->clearCache();
}

// An invalid bucket does not even ask the registry, which is not open yet: every call fails.
void TestRecorder::bucketsRetryAFailedLookup()
{
    makeBucket("http://h", "")->placeRecord(generateUniqueId(), placedDocument(1));
    makeBucket("", "db")->placeRecord(generateUniqueId(), placedDocument(1));
    const auto bucket = makeBucket("http://h", "db");
    bucket->placeRecord(generateUniqueId(), placedDocument(1));
    QCOMPARE(currentBackends()->getRegisteredBackendsCount(), 0);
    currentBackends()->clearRegisteredBackends();
    QVERIFY(currentBackends()->getBackends().isEmpty());
    const QString invalid = "warning: Bucket state is invalid, recording is impossible";
    const QString closed = " aborted, connection to database is closed.";
    QCOMPARE(m_messages->all(),
             (QStringList { invalid, invalid,
                            "critical: Unable to search database for existing storage information "
                            " \"Driver not loaded Driver not loaded\"",
                            "warning: Unable to retrieve storage ID",
                            "critical: getRegisteredBackendsCount()" + closed,
                            "critical: clearRegisteredBackends()" + closed }));
    QCOMPARE(currentDataCollector()->getQueuedElementsCount(), 0);

    currentDataCollector()->initialize();
    currentBackends()->initialize();
    m_messages->clear();
    bucket->placeRecord(generateUniqueId(), placedDocument(2));
    QCOMPARE(m_messages->all(), QStringList());
    QCOMPARE(currentDataCollector()->getQueuedElementsCount(), 1);
}

void TestRecorder::locationInfoText_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QByteArray>("expected");
    // Credentials stay in memory: the same destination with or without them.
    QTest::addRow("credentials left out") << "https://user:pa ss@couch.example/ba se/"
                                          << "db"
                                          << QByteArray("{\n"
                                                        "    \"database\": \"db\",\n"
                                                        "    \"server\": \"https://couch.example/"
                                                        "ba%20se/\"\n"
                                                        "}\n");
    QTest::addRow("escaped name")
        << "http://h" << QStringLiteral("q\"b\\s/t\tn\nc\x01 \u00e5")
        << QByteArray("{\n"
                      "    \"database\": \"q\\\"b\\\\s/t\\tn\\nc\\u0001 \xc3\xa5\",\n"
                      "    \"server\": \"http://h\"\n"
                      "}\n");
}

void TestRecorder::locationInfoText()
{
    QFETCH(QString, server);
    QFETCH(QString, database);
    QFETCH(QByteArray, expected);
    const auto bucket = makeBucket(server, database);
    QCOMPARE(bucket->storageLocationInfo().toUtf8(), expected);
    QCOMPARE(bucket->storageBackend(), QStringLiteral("couchdb"));
}

void TestRecorder::placedRowsKeepTheirFirstStorageId()
{
    const auto bucket = makeBucket("http://first", "db");
    const int registered = currentBackends()->getRegisteredBackendsCount();
    bucket->placeRecord("first-record", placedDocument(1));
    // A new destination costs the caller a read: the flush registers it, off its thread.
    QCOMPARE(currentBackends()->getRegisteredBackendsCount(), registered);
    const int firstId = currentBackends()->getStorageID("couchdb", bucket->storageLocationInfo());
    bucket->setServer(QUrl("http://second"));
    bucket->placeRecord("second-record", placedDocument(2));
    QCOMPARE(currentBackends()->getStorageID("couchdb", bucket->storageLocationInfo()),
             firstId + 1);
    const QVector<Placed> placed = placedRecords();
    QCOMPARE(placed.size(), 2);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(placed.at(i).storageId, firstId);
        QCOMPARE(
            placed.at(i).text,
            QStringLiteral("{\"text\":\"a \\\"b\\\"\",\"timestamp\":42,\"value\":%1}").arg(i + 1));
    }
    // Destinations cleared are registered anew: no row goes under a forgotten ID.
    currentBackends()->clearRegisteredBackends();
    const auto again = makeBucket("http://first", "db");
    again->placeRecord("third-record", placedDocument(3));
    QCOMPARE(placedRecords().last().storageId,
             currentBackends()->getStorageID("couchdb", again->storageLocationInfo()));
    QCOMPARE(m_messages->all(), QStringList());
}

void TestRecorder::lookupsInTheEventLoopNeverWait_data()
{
    QTest::addColumn<bool>("known"); // registered before
    QTest::addColumn<bool>("registryHeld"); // else another client holds the cache file
    QTest::addRow("new destination, another client's transaction") << false << false;
    // As while a flush registers many new destinations on a pool thread.
    QTest::addRow("new destination, registry's connection busy") << false << true;
    QTest::addRow("known destination, registry's connection busy") << true << true;
}

// The look-up meets a held cache file or registry: in the application's event loop a new
// destination takes a provisional ID at once, and the row gets the real one at a flush.
void TestRecorder::lookupsInTheEventLoopNeverWait()
{
    QFETCH(bool, known);
    QFETCH(bool, registryHeld);
    const auto bucket = makeBucket(known ? "http://known" : "http://busy", "db");
    if (known)
        currentBackends()->getStorageID("couchdb", bucket->storageLocationInfo());
    CacheConnection other;
    QSemaphore held, release;
    std::thread holder;
    const auto letGo = [&] {
        release.release();
        if (holder.joinable())
            holder.join();
    };
    const auto atEnd = qScopeGuard(letGo);
    if (registryHeld) {
        holder = std::thread([&] {
            QMutexLocker locker(&BackendsPrivate::get(currentBackends())->m_mutex);
            held.release();
            release.tryAcquire(1, 5000);
        });
        held.acquire();
    } else {
        QVERIFY(other.exec("BEGIN EXCLUSIVE"));
    }
    QEventLoop loop;
    QElapsedTimer placing;
    QTimer::singleShot(0, &loop, [&] {
        placing.start();
        bucket->placeRecord("busy-record", placedDocument(1));
        loop.exit(int(placing.elapsed()));
    });
    const int placingMs = loop.exec();
    QVERIFY2(placingMs < 1000, qPrintable(QString::number(placingMs)));
    letGo();
    QVERIFY(registryHeld || other.exec("COMMIT"));
    const QVector<Placed> placed = placedRecords();
    QCOMPARE(placed.size(), 1);
    QCOMPARE(placed.first().storageId,
             currentBackends()->getStorageID("couchdb", bucket->storageLocationInfo()));
    QCOMPARE(m_messages->all(), QStringList());
}

void TestRecorder::minimalDocuments()
{
    Recorder recorder;
    recorder.setType(QStringLiteral("app.start"));
    recorder.setBucket(&m_bucket);
    recorder.setObjectName(QStringLiteral("never recorded"));
    recorder.setProperty("dynamic", 1);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    for (int i = 0; i < 200; ++i)
        recorder.record();
    QSet<QString> ids;
    for (const Placed &placed : placedRecords()) {
        QCOMPARE(placed.document.keys(), (QStringList { "_id", "timestamp", "type" }));
        QCOMPARE(placed.document.value("_id").toString(), placed.id);
        QCOMPARE(placed.document.value("type").toString(), QStringLiteral("app.start"));
        QVERIFY(placed.document.value("timestamp").toDouble() >= before);
        ids << placed.id;
    }
    QCOMPARE(ids.size(), 200);
    QCOMPARE(m_messages->all(), QStringList());
}

// Object references are left out, whether Qt sees them as user types or as QObject*.
void TestRecorder::declaredPropertiesConvertAsQtDoes()
{
    DetailedRecorder recorder;
    recorder.setBucket(&m_bucket);
    recorder.record();
    const Placed placed = placedRecords().value(0);
    QCOMPARE(placed.id.size(), 16);
    QCOMPARE(placed.text,
             asQtWritesIt({ { "timestamp", recorder.m_timestamp },
                            { "list", recorder.m_list },
                            { "number", recorder.m_number },
                            { "text", recorder.m_text },
                            { "type", QString() } },
                          placed));
}

void TestRecorder::valuesAreWrittenAsQtWritesThemInAMap_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addRow("string") << QVariant(QStringLiteral("caf\u00e9 \"q\" \\ \n\u2028"));
    QTest::addRow("unpaired surrogate") << QVariant(QStringLiteral("a") + QChar(0xd800));
    QTest::addRow("bool") << QVariant(false);
    QTest::addRow("NaN") << QVariant(std::nan(""));
    QTest::addRow("-infinity") << QVariant(-std::numeric_limits<double>::infinity());
    QTest::addRow("smallest int") << QVariant(std::numeric_limits<int>::min());
    QTest::addRow("largest uint") << QVariant(std::numeric_limits<uint>::max());
    QTest::addRow("2^53 + 1") << QVariant((qint64(1) << 53) + 1);
    QTest::addRow("largest quint64") << QVariant(std::numeric_limits<quint64>::max());
    // Qt writes these differently when it converts them outside a map.
    QTest::addRow("byte array") << QVariant(QByteArray("a\0b\xff", 4));
    QTest::addRow("invalid date") << QVariant(QDateTime());
    QTest::addRow("short") << QVariant::fromValue(short(-3));
    QTest::addRow("CBOR bytes") << QVariant::fromValue(QCborValue(QByteArray("\x02")));
    QTest::addRow("float") << QVariant(1.1f);
    QTest::addRow("no value") << QVariant();
    QTest::addRow("nested") << QVariant(QVariantList {
        QVariantMap { { "k\"", std::nan("") }, { "a", 1 } }, QVariant(), QByteArray("\xfe") });
}

void TestRecorder::valuesAreWrittenAsQtWritesThemInAMap()
{
    QFETCH(QVariant, value);
    VariantRecorder recorder;
    recorder.setType(QStringLiteral("values"));
    recorder.setBucket(&m_bucket);
    recorder.m_value = value;
    recorder.record();
    const QVector<Placed> placed = placedRecords();
    QCOMPARE(placed.size(), 1);
    QCOMPARE(placed.first().text,
             asQtWritesIt({ { "type", recorder.type() }, { "value", value } }, placed.first()));
}

void TestRecorder::noBucketNeverAsksThePolicy_data()
{
    QTest::addColumn<bool>("destroyed");
    QTest::addRow("never set") << false;
    QTest::addRow("destroyed") << true;
}

void TestRecorder::noBucketNeverAsksThePolicy()
{
    QFETCH(bool, destroyed);
    int asked = 0;
    TelemetryPolicy::setPolicyImplementation([&asked](const QString &) { return ++asked, true; });
    Recorder recorder;
    if (destroyed) {
        auto bucket = makeBucket(m_bucket.server().toString(), m_bucket.database());
        recorder.setBucket(bucket.get());
        bucket.reset();
        QCOMPARE(recorder.bucket(), nullptr);
    }
    recorder.record();
    QCOMPARE(asked, 0);
    QCOMPARE(m_messages->all(), QStringList { "warning: No bucket to place record" });
    QVERIFY(placedRecords().isEmpty());
}

void TestRecorder::untrackedTypeIsDropped_data()
{
    QTest::addColumn<bool>("debugEnabled");
    QTest::addColumn<bool>("disabled");
    QTest::addColumn<QStringList>("expected");
    QTest::addRow("default threshold") << false << false << QStringList();
    QTest::addRow("debug enabled")
        << true << false << QStringList { "debug: Dropping untracked metric \"noise\"" };
    QTest::addRow("telemetry disabled")
        << true << true
        << QStringList { "debug: Dropping record, telemetry is disabled \"noise\"" };
}

void TestRecorder::untrackedTypeIsDropped()
{
    QFETCH(bool, debugEnabled);
    QFETCH(bool, disabled);
    QFETCH(QStringList, expected);
    if (debugEnabled)
        QLoggingCategory::setFilterRules(QStringLiteral("korvel.telemetry.debug=true"));
    TelemetryPolicy::setPolicyImplementation(
        [disabled](const QString &type) { return disabled || type != "noise"; });
    TelemetryPolicy::setEnabled(!disabled);
    Recorder recorder;
    recorder.setBucket(&m_bucket);
    recorder.setType(QStringLiteral("noise"));
    recorder.record();
    QVERIFY(placedRecords().isEmpty());
    QCOMPARE(m_messages->all(), expected);
    if (disabled) { // and enabled again, recording resumes
        TelemetryPolicy::setEnabled(true);
        recorder.record();
        QCOMPARE(placedRecords().size(), 1);
    }
}

void TestRecorder::filterChangesOrDropsRecords_data()
{
    using Filter = TelemetryPolicy::RecordFilter;
    QTest::addColumn<Filter>("filter");
    QTest::addColumn<QVariantMap>("expected"); // empty: dropped
    const QVariantMap recorded { { "text", "/home/alice/notes.txt" }, { "number", 2.5 } };
    QTest::addRow("keeps") << Filter([](QJsonObject &) { return true; }) << recorded;
    QTest::addRow("removed") << Filter() << recorded;
    QTest::addRow("drops") << Filter([](QJsonObject &) { return false; }) << QVariantMap();
    QTest::addRow("scrubs and rounds") << Filter([](QJsonObject &record) {
        record.insert("text", record.value("text").toString().section('/', -1));
        record.insert("number", std::round(record.value("number").toDouble()));
        return true;
    }) << QVariantMap { { "text", "notes.txt" }, { "number", 3 } };
    QTest::addRow("no id of its own") << Filter([](QJsonObject &record) {
        return !record.contains("_id") && (record.insert("_id", "mine"), true);
    }) << recorded;
}

// The record reaches the cache as the filter left it, under the id the library gave it.
void TestRecorder::filterChangesOrDropsRecords()
{
    QFETCH(TelemetryPolicy::RecordFilter, filter);
    QFETCH(QVariantMap, expected);
    TelemetryPolicy::setRecordFilter([](QJsonObject &) { return false; });
    TelemetryPolicy::setRecordFilter(filter);
    DetailedRecorder recorder;
    recorder.m_text = "/home/alice/notes.txt";
    recorder.m_list.clear();
    recorder.setBucket(&m_bucket);
    recorder.record();
    const QVector<Placed> placed = placedRecords();
    QCOMPARE(placed.size(), expected.isEmpty() ? 0 : 1);
    if (expected.isEmpty())
        return;
    QCOMPARE(placed.first().document.value("_id").toString(), placed.first().id);
    expected.insert({ { "type", QString() }, { "timestamp", 7 }, { "list", QVariantList() } });
    QCOMPARE(placed.first().text, asQtWritesIt(expected, placed.first()));
}

// The module as applications import it, from the build tree (Qt 6 needs no version). QML gives
// the declared property a meta-object of its own, its name in UTF-8.
void TestRecorder::nonAsciiPropertyNameIsKept()
{
    QQmlEngine engine;
    const std::unique_ptr<Recorder> recorder = qmlRecorder(engine,
                                                           "property int gr\xc3\xb6\xc3\x9f"
                                                           "e: 3");
    QVERIFY(recorder);
    recorder->setBucket(&m_bucket);
    recorder->record();
    const QVector<Placed> placed = placedRecords();
    QCOMPARE(placed.size(), 1);
    QCOMPARE(placed.first().document.value(QStringLiteral("gr\u00f6\u00dfe")), QJsonValue(3));
}

void TestRecorder::serverHoldsWhatWasRecorded_data()
{
    QTest::addColumn<QByteArray>("declaration"); // of the QML recorder, beside "count: 3"
    QTest::addColumn<QJsonObject>("members"); // of each record, beside "_id", "timestamp", "type"
    QTest::addColumn<QString>("warning"); // said once for the three records
    QTest::addColumn<QStringList>("facts"); // that the bucket attaches
    const QJsonObject count { { "count", 3 } };
    const QString leftOut = "warning: Property \"%1\" of metric \"%1 row\" left out of its "
                            "records: CouchDB reserves names that begin with \"_\"";
    // Sent, "_rev" was answered as a conflict and counted as stored; "_deleted" was stored as a
    // deletion that no reader sees; "_id" replaced the generated one in every record.
    const QStringList none;
    QTest::addRow("_rev") << QByteArray("property string _rev: \"1-0123\"") << count
                          << leftOut.arg("_rev") << none;
    QTest::addRow("_deleted") << QByteArray("property bool _deleted: true") << count
                              << leftOut.arg("_deleted") << none;
    QTest::addRow("_attachments") << QByteArray("property var _attachments: ({})") << count
                                  << leftOut.arg("_attachments") << none;
    QTest::addRow("_id") << QByteArray("property string _id: \"chosen\"") << count
                         << leftOut.arg("_id") << none;
    const QJsonObject ratioNull { { "count", 3 }, { "ratio", QJsonValue::Null } };
    const QString null = "warning: Property \"ratio\" of metric \"%1 row\" is not a finite "
                         "number, recorded as null";
    QTest::addRow("NaN") << QByteArray("property real ratio: NaN") << ratioNull << null.arg("NaN")
                         << none;
    QTest::addRow("infinity") << QByteArray("property real ratio: -Infinity") << ratioNull
                              << null.arg("infinity") << none;
    QTest::addRow("facts") << QByteArray()
                           << QJsonObject { { "count", 3 },
                                            { "applicationVersion", "7.1" },
                                            { "platformOs", QSysInfo::productType() } }
                           << QString() << QStringList { "application.version", "platform.os" };
    QTest::addRow("a property before a fact")
        << QByteArray("property string applicationVersion: \"mine\"")
        << QJsonObject { { "count", 3 }, { "applicationVersion", "mine" } } << QString()
        << QStringList { "application.version" };
    QTest::addRow("unknown facts")
        << QByteArray() << count
        << "warning: Unknown fact platform left out of the records: facts are named "
           "SOURCE.FIELD, of the sources application, platform, qt, locale"
        << QStringList { "platform" };
}

// The records of a QML recorder, three of each kind, published to a real server: in the cache
// and on the server exactly what was recorded.
void TestRecorder::serverHoldsWhatWasRecorded()
{
    QFETCH(QByteArray, declaration);
    QFETCH(QJsonObject, members);
    QFETCH(QString, warning);
    QFETCH(QStringList, facts);
    const QString server = couchDbUrl();
    static int rows = 0;
    const QString database = createDatabase(server, "trial" + QString::number(++rows));
    QVERIFY2(!database.isEmpty(), "no CouchDB-compatible server: run through ctest");
    QQmlEngine engine;
    const std::unique_ptr<Recorder> recorder
        = qmlRecorder(engine, "property int count: 3; " + declaration);
    QVERIFY(recorder);
    const auto bucket = makeBucket(server, database);
    bucket->setFacts(facts);
    recorder->setBucket(bucket.get());
    recorder->setType(QString::fromLatin1(QTest::currentDataTag()) + " row");
    for (int i = 0; i < 3; ++i)
        recorder->record();
    const QVector<Placed> placed = placedRecords();
    QCOMPARE(placed.size(), 3);
    const PublishOutcome outcome = currentPublisher()->publishPending(30000);
    QCOMPARE(outcome.published, 3);
    QCOMPARE(outcome.remaining, 0);
    const QHash<QString, QJsonObject> documents = couchDbDocuments(server, database);
    QCOMPARE(documents.size(), 3);
    for (const Placed &record : placed) {
        QJsonObject expected = members;
        expected.insert("_id", record.id);
        expected.insert("timestamp", record.document.value("timestamp"));
        expected.insert("type", recorder->type());
        QCOMPARE(record.document, expected);
        QJsonObject stored = documents.value(record.id);
        QVERIFY(stored.take("_rev").toString().startsWith("1-"));
        QCOMPARE(stored, expected);
    }
    QCOMPARE(m_messages->all().filter(QRegularExpression("Property |Unknown fact")),
             warning.isEmpty() ? QStringList() : QStringList { warning });
}

// The publisher that a Recorder starts works on a thread of its own: with the main thread
// blocked, a worker's publishPending() sends every record.
void TestRecorder::publishingNeedsNoMainLoop()
{
    const QString server = couchDbUrl();
    const QString database = createDatabase(server, "blocked");
    QVERIFY2(!database.isEmpty(), "no CouchDB-compatible server: run through ctest");
    const auto bucket = makeBucket(server, database);
    Recorder recorder;
    recorder.setType(QStringLiteral("app.blocked"));
    recorder.setBucket(bucket.get());
    for (int i = 0; i < 30; ++i)
        recorder.record();
    PublishOutcome outcome;
    const std::unique_ptr<QThread> worker(
        QThread::create([&outcome] { outcome = currentPublisher()->publishPending(30000); }));
    worker->start();
    QVERIFY(worker->wait(40000)); // the main thread processes no event meanwhile
    QCOMPARE(outcome.published, 30);
    QCOMPARE(outcome.remaining, 0);
    QCOMPARE(couchDbDocuments(server, database).size(), 30);
}

KORVEL_TEST_MAIN(TestRecorder)
#include "tst_recorder.moc"
