#include "telemetry/cache/datacollector.h"
#include "telemetry/facts/contextrecorder.h"
#include "telemetry/facts/factsource.h"

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

} // namespace

class TestFacts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void builtInSourcesCarryTheirDocumentedFields_data();
    void builtInSourcesCarryTheirDocumentedFields();
    void qmlDeclaresAContextRecorder();
    void contextRecordsCarryWhatTheConsentAllows_data();
    void contextRecordsCarryWhatTheConsentAllows();

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
}

// The fields are what context records carry: renaming one changes what servers receive.
void TestFacts::builtInSourcesCarryTheirDocumentedFields_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("known"); // a field whose value this process knows
    QTest::addColumn<QJsonValue>("value");

    QTest::newRow("application") << QStringList { "library", "name", "organization", "version" }
                                 << "version" << QJsonValue("1.2.3");
    QTest::newRow("platform") << QStringList { "arch",          "cpus", "kernel",
                                               "kernelVersion", "os",   "osVersion" }
                              << "cpus" << QJsonValue(QThread::idealThreadCount());
    QTest::newRow("qt") << QStringList { "build", "runtime" } << "runtime"
                        << QJsonValue(qVersion());
    QTest::newRow("locale") << QStringList { "language", "territory", "uiLanguages" } << "territory"
                            << QJsonValue("CH");
}

void TestFacts::builtInSourcesCarryTheirDocumentedFields()
{
    QFETCH(QStringList, fields);
    QFETCH(QString, known);
    QFETCH(QJsonValue, value);

    const auto sources = FactSource::builtInSources();
    const auto source = std::find_if(sources.cbegin(), sources.cend(), [](const auto &source) {
        return source->id() == QLatin1String(QTest::currentDataTag());
    });
    QVERIFY(source != sources.cend());
    QCOMPARE((*source)->level(), TelemetryConsent::Basic);
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
             QStringList { "korvel.context: application locale platform qt" });
}

// The rows run in order: the first before any consent governs the process.
void TestFacts::contextRecordsCarryWhatTheConsentAllows_data()
{
    QTest::addColumn<int>("decided");
    QTest::addColumn<QStringList>("records");

    const QString all = QStringLiteral("korvel.context: application locale platform plugins qt");
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

KORVEL_TEST_MAIN(TestFacts)
#include "tst_facts.moc"
