#include "telemetry/facts/factsource.h"

#include "testsupport.h"

#include <QJsonArray>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

class TestFacts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void builtInSourcesCarryTheirDocumentedFields_data();
    void builtInSourcesCarryTheirDocumentedFields();
};

// Set before any source is first read: they read once.
void TestFacts::initTestCase()
{
    QCoreApplication::setApplicationVersion(QStringLiteral("1.2.3"));
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

KORVEL_TEST_MAIN(TestFacts)
#include "tst_facts.moc"
