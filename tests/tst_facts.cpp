#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/facts/contextrecorder.h"
#include "telemetry/facts/factsource.h"
#include "telemetry/recording/telemetryconsent.h"

#include "testsupport.h"

#include <QJsonArray>
#include <QtQml>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

namespace {

// A source of the host's own, which needs more than the built-in ones.
class PluginFacts : public FactSource
{
public:
    QString id() const override { return QStringLiteral("plugins"); }
    QString description() const override { return QStringLiteral("The plugins in use"); }
    TelemetryConsent::Level level() const override { return TelemetryConsent::Usage; }
    QJsonObject value() const override
    {
        return { { QStringLiteral("active"), QJsonArray { "spelling", "export" } } };
    }
};

constexpr int kNoConsent = -1;

// The context records cached, each as its type and the names of its members that hold facts.
QStringList cachedContextMembers()
{
    DataCollector *collector = currentDataCollector();
    // A flush waits while a consent is being stored, which holds the main lock.
    if (!QTest::qWaitFor([collector] {
            collector->flush();
            return collector->getQueuedElementsCount() == 0;
        }))
        return { "still queued" };
    CacheConnection cache;
    QSqlQuery query(cache.database());
    QStringList records;
    for (query.exec("SELECT recordData FROM telemetry ORDER BY rowid"); query.next();) {
        const QJsonObject record = QJsonDocument::fromJson(query.value(0).toByteArray()).object();
        QStringList members;
        for (auto member = record.begin(); member != record.end(); ++member) {
            if (member.value().isObject()) // the facts of a source
                members << member.key();
        }
        members.sort();
        records << record.value("type").toString() + ": " + members.join(' ');
    }
    return records;
}

QJsonValue fact(const QJsonObject &context, const char *source, const char *field)
{
    return context.value(QLatin1String(source)).toObject().value(QLatin1String(field));
}

} // namespace

class TestFacts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void builtInSourcesCarryTheirDocumentedFields_data();
    void builtInSourcesCarryTheirDocumentedFields();
    void qmlDeclaresAContextRecorder();
    void schedulesRecordOncePerStartAndDay();
    void contextRecordsCarryWhatTheConsentAllows_data();
    void contextRecordsCarryWhatTheConsentAllows();
    void contextOfEachStartReachesTheServer();

private:
    CouchDBBucket m_bucket;
    std::unique_ptr<TelemetryConsent> m_consent;
};

// Set before any source is first read: they read once.
void TestFacts::initTestCase()
{
    QCoreApplication::setApplicationVersion(QStringLiteral("1.2.3"));
    m_bucket.setServer(QUrl(QStringLiteral("http://127.0.0.1:1")));
    m_bucket.setDatabase(QStringLiteral("context"));
    QLocale::setDefault(QLocale(QStringLiteral("de_CH")));
    // The usage facts come once the first flush has counted this start.
    ContextRecorder counting;
    QTRY_VERIFY(currentCollectorPrivate()->usage().has_value());
}

// The fields are what context records carry: renaming one changes what servers receive.
void TestFacts::builtInSourcesCarryTheirDocumentedFields_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("known"); // a field whose value this process knows
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<TelemetryConsent::Level>("level");

    const auto basic = TelemetryConsent::Basic;
    QTest::newRow("application") << QStringList { "library", "name", "organization", "version" }
                                 << "version" << QJsonValue("1.2.3") << basic;
    QTest::newRow("platform") << QStringList { "arch",          "cpus", "kernel",
                                               "kernelVersion", "os",   "osVersion" }
                              << "cpus" << QJsonValue(QThread::idealThreadCount()) << basic;
    QTest::newRow("qt") << QStringList { "build", "runtime" } << "runtime" << QJsonValue(qVersion())
                        << basic;
    QTest::newRow("locale") << QStringList { "language", "territory", "uiLanguages" } << "territory"
                            << QJsonValue("CH") << basic;
    // The first start in this test's own cache.
    QTest::newRow("usage") << QStringList { "firstStart", "lastStart", "startCount",
                                            "usageSeconds" }
                           << "startCount" << QJsonValue(1) << TelemetryConsent::Usage;
}

void TestFacts::builtInSourcesCarryTheirDocumentedFields()
{
    QFETCH(QStringList, fields);
    QFETCH(QString, known);
    QFETCH(QJsonValue, value);
    QFETCH(TelemetryConsent::Level, level);

    const auto sources = FactSource::builtInSources();
    const auto source = std::find_if(sources.cbegin(), sources.cend(), [](const auto &source) {
        return source->id() == QLatin1String(QTest::currentDataTag());
    });
    QVERIFY(source != sources.cend());
    QCOMPARE((*source)->level(), level);
    QVERIFY(!(*source)->description().isEmpty());
    const QJsonObject facts = (*source)->value();
    QCOMPARE(facts.keys(), fields);
    QCOMPARE(facts.value(known), value);
    // Every fact is there, though a host may leave its organisation unnamed.
    for (const QString &field : fields) {
        const QJsonValue fact = facts.value(field);
        QVERIFY2(fact.isArray() || fact.isDouble() || !fact.toString().isEmpty()
                     || field == QLatin1String("organization"),
                 qPrintable(field));
    }
}

void TestFacts::qmlDeclaresAContextRecorder()
{
    QQmlEngine engine;
    engine.addImportPath(QStringLiteral(KORVEL_QML_IMPORT_DIR));
    QQmlComponent component(&engine);
    component.setData("import QtQml 2.15\nimport Korvel.Telemetry 1.0\n"
                      "ContextRecorder { bucket: CouchDBBucket { server: 'http://127.0.0.1:1'; "
                      "database: 'context' } }",
                      QUrl());
    std::unique_ptr<QObject> recorder(component.create());
    QVERIFY2(recorder, qPrintable(component.errorString()));
    QVERIFY(QMetaObject::invokeMethod(recorder.get(), "record"));
    const auto clear = qScopeGuard([] { currentDataCollector()->clearCache(); });
    QCOMPARE(cachedContextMembers(),
             QStringList { "korvel.context: application locale platform qt usage" });
}

// The rows run in order: the first before any consent governs the process.
void TestFacts::contextRecordsCarryWhatTheConsentAllows_data()
{
    QTest::addColumn<int>("decided");
    QTest::addColumn<QStringList>("records");

    const QString all
        = QStringLiteral("korvel.context: application locale platform plugins qt usage");
    QTest::newRow("no consent") << kNoConsent << QStringList { all };
    QTest::newRow("basic") << int(TelemetryConsent::Basic)
                           << QStringList { "korvel.context: application locale platform qt" };
    QTest::newRow("usage") << int(TelemetryConsent::Usage) << QStringList { all };
    QTest::newRow("nothing") << int(TelemetryConsent::NoTelemetry) << QStringList();
}

void TestFacts::contextRecordsCarryWhatTheConsentAllows()
{
    QFETCH(int, decided);
    QFETCH(QStringList, records);

    if (decided != kNoConsent) {
        if (!m_consent)
            m_consent = std::make_unique<TelemetryConsent>();
        m_consent->setLevel(TelemetryConsent::Level(decided));
    }
    ContextRecorder recorder;
    recorder.addSource(std::make_shared<PluginFacts>());
    recorder.addSource(std::make_shared<PluginFacts>()); // replaces the first
    recorder.setBucket(&m_bucket);
    recorder.record();
    const auto clear = qScopeGuard([] { currentDataCollector()->clearCache(); });
    QCOMPARE(cachedContextMembers(), records);
}

// Each recorder looks in the order it was given its bucket: once the last one has recorded,
// every earlier one has had its turn. No consent governs the process yet: all are allowed.
void TestFacts::schedulesRecordOncePerStartAndDay()
{
    const auto clear = qScopeGuard([] { currentDataCollector()->clearCache(); });
    std::vector<std::unique_ptr<ContextRecorder>> recorders;
    const auto add = [&](ContextRecorder::Schedule schedule) {
        auto &recorder = recorders.emplace_back(std::make_unique<ContextRecorder>());
        recorder->setSchedule(schedule);
        recorder->setBucket(&m_bucket);
    };
    add(ContextRecorder::WhenTold);
    add(ContextRecorder::Daily); // the first of the day
    QTRY_COMPARE(cachedContextMembers().size(), 1);
    add(ContextRecorder::EachStart);
    QTRY_COMPARE(cachedContextMembers().size(), 2);
    add(ContextRecorder::Daily); // within the day: nothing
    add(ContextRecorder::EachStart);
    QTRY_COMPARE(cachedContextMembers().size(), 3);
    recorders.back()->setSchedule(ContextRecorder::Daily);
    recorders.back()->setSchedule(ContextRecorder::EachStart); // done for this start
    QCoreApplication::processEvents();
    QCOMPARE(cachedContextMembers().size(), 3);
}

// Three runs of a host, two at level Usage and one at Basic, each recording its context at its
// start; the documents on the server carry what the process knows, and the runs are counted.
void TestFacts::contextOfEachStartReachesTheServer()
{
    const QString server = couchDbUrl();
    const QString database = createDatabase(server, QStringLiteral("context"));
    QVERIFY(!database.isEmpty());
    QVector<QJsonObject> contexts;
    for (const char *level : { "usage", "usage", "basic" }) {
        auto helper = startHelper({ "context", server, database, level });
        QTRY_VERIFY_WITH_TIMEOUT(couchDbDocuments(server, database).size() > contexts.size(),
                                 30000);
        helper->closeWriteChannel();
        QVERIFY(helper->waitForFinished());
        QCOMPARE(helper->exitCode(), 0);
        const QHash<QString, QJsonObject> documents = couchDbDocuments(server, database);
        for (const QJsonObject &document : documents) {
            if (document.value("type") == "korvel.context" && !contexts.contains(document))
                contexts << document;
        }
    }
    QCOMPARE(contexts.size(), 3);
    std::sort(contexts.begin(), contexts.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value("timestamp").toDouble() < b.value("timestamp").toDouble();
    });
    for (const QJsonObject &context : qAsConst(contexts)) {
        QCOMPARE(fact(context, "application", "version"), QJsonValue("4.5.6"));
        QCOMPARE(fact(context, "qt", "runtime"), QJsonValue(qVersion()));
        QVERIFY(!fact(context, "platform", "os").toString().isEmpty());
        QVERIFY(!context.contains("screens")); // no QGuiApplication
    }
    const int firstCount = fact(contexts[0], "usage", "startCount").toInt();
    QVERIFY(firstCount > 0);
    QCOMPARE(fact(contexts[1], "usage", "startCount").toInt(), firstCount + 1);
    QVERIFY(fact(contexts[1], "usage", "usageSeconds").toInt() >= 1); // the first run's
    QVERIFY(!contexts[2].contains("usage"));
}

KORVEL_TEST_MAIN(TestFacts)
#include "tst_facts.moc"
