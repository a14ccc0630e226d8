#include "telemetry/cache/datacollector.h"
#include "telemetry/facts/factsource.h"
#include "telemetry/recording/telemetryconsent.h"
#include "telemetry/status/sentrecordsmodel.h"

#include "testsupport.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

// The consent example as its users meet it, clicked through offscreen: asked first, then
// recording what they allowed, showing what servers stored, lowering the level and deleting
// their data. Each page is saved as a picture, into KORVEL_SCREENSHOT_DIR when it is set (the
// README shows those of docs/).
class TestConsentExample : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void moduleAddsTheScreens();
    void decideRecordSeeLowerAndDelete();
    void cleanupTestCase();

private:
    QQuickItem *find(const char *objectName, QQuickItem *below = nullptr) const;
    bool click(const char *objectName);
    bool saveScreenshot(const QString &name);
    static QStringList shownTexts(const QQuickItem *item);
    QStringList sentTypes() const;

    QQmlApplicationEngine m_engine;
    QList<QQmlError> m_warnings;
    QQuickWindow *m_window = nullptr;
    TelemetryConsent *m_consent = nullptr;
    SentRecordsModel *m_sent = nullptr;
    QString m_server;
    QString m_database;
};

// What shows of the item named @p objectName, or null. Items that repeaters make have no
// object parent: the search follows the visual tree.
QQuickItem *TestConsentExample::find(const char *objectName, QQuickItem *below) const
{
    if (!below)
        below = m_window->contentItem();
    for (QQuickItem *child : below->childItems()) {
        if (!child->isVisible())
            continue;
        if (child->objectName() == QLatin1String(objectName))
            return child;
        if (QQuickItem *found = find(objectName, child))
            return found;
    }
    return nullptr;
}

// As a user clicks: on the middle of what shows, which must be in the window once the view
// that holds it has scrolled it into sight.
bool TestConsentExample::click(const char *objectName)
{
    const QQuickItem *item = find(objectName);
    for (QQuickItem *view = item ? item->parentItem() : nullptr; view; view = view->parentItem()) {
        if (!view->inherits("QQuickFlickable"))
            continue;
        const qreal top
            = item->mapToItem(view->property("contentItem").value<QQuickItem *>(), QPointF()).y();
        const qreal bottom = view->property("contentHeight").toReal() - view->height();
        view->setProperty("contentY",
                          qBound<qreal>(0, top - view->height() / 2, qMax<qreal>(0, bottom)));
        break;
    }
    const QPoint middle = item
        ? item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint()
        : QPoint(-1, -1);
    if (!item || !QRect(QPoint(), m_window->size()).contains(middle)) {
        qWarning() << objectName << "is not in sight";
        return false;
    }
    QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, middle);
    return true;
}

// A picture of what the window shows, which must show something. Qt 5's software renderer
// leaves the window's own grab empty; the offscreen screen keeps what was drawn.
bool TestConsentExample::saveScreenshot(const QString &name)
{
    QTest::qWait(200); // lets the animations of the last click end
    QImage image = m_window->grabWindow();
    if (image.isNull())
        image = m_window->screen()->grabWindow(m_window->winId()).toImage();
    const QImage narrow = image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
    if (image.size() != m_window->size() * m_window->devicePixelRatio()
        || narrow.colorCount() <= 2) {
        qWarning() << "The window shows nothing:" << image;
        return false;
    }
    const QString folder = qEnvironmentVariable("KORVEL_SCREENSHOT_DIR", QDir::tempPath());
    return image.save(QDir(folder).filePath(name + QStringLiteral(".png")));
}

// The text of every visible item of @p item, as the user reads it.
QStringList TestConsentExample::shownTexts(const QQuickItem *item)
{
    QStringList texts;
    if (!item->isVisible())
        return texts;
    const QString text = item->property("text").toString();
    if (!text.isEmpty())
        texts << text;
    for (const QQuickItem *child : item->childItems())
        texts += shownTexts(child);
    return texts;
}

QStringList TestConsentExample::sentTypes() const
{
    QStringList types;
    for (int row = 0; row < m_sent->rowCount(); ++row)
        types << m_sent->index(row).data(SentRecordsModel::TypeRole).toString();
    types.sort();
    return types;
}

void TestConsentExample::initTestCase()
{
    m_server = couchDbUrl();
    QVERIFY2(!m_server.isEmpty(), "no CouchDB-compatible server: run through ctest");
    m_database = createDatabase(m_server, QStringLiteral("consent"));
    QVERIFY(!m_database.isEmpty());

    QCoreApplication::setOrganizationDomain(QStringLiteral("example.org"));
    QCoreApplication::setApplicationName(QStringLiteral("consent-example"));
    connect(&m_engine, &QQmlEngine::warnings, this,
            [this](const QList<QQmlError> &warnings) { m_warnings += warnings; });
    m_engine.addImportPath(QStringLiteral(KORVEL_QML_IMPORT_DIR));
    QQmlContext *context = m_engine.rootContext();
    context->setContextProperty(QStringLiteral("startedAt"),
                                double(QDateTime::currentMSecsSinceEpoch()));
    context->setContextProperty(QStringLiteral("serverUrl"), QUrl(m_server));
    context->setContextProperty(QStringLiteral("databaseName"), m_database);
    m_engine.load(
        QUrl::fromLocalFile(QStringLiteral(KORVEL_SOURCE_DIR "/examples/consent/Main.qml")));
    QCOMPARE(m_engine.rootObjects().size(), 1);
    m_window = qobject_cast<QQuickWindow *>(m_engine.rootObjects().first());
    QVERIFY(m_window && QTest::qWaitForWindowExposed(m_window));
    QObject *telemetry = m_window->property("telemetry").value<QObject *>();
    m_consent = telemetry->property("consent").value<TelemetryConsent *>();
    m_sent = telemetry->property("sent").value<SentRecordsModel *>();
    QVERIFY(m_consent && m_sent);
}

// The example imports the QML module in a QGuiApplication: its screens become facts.
void TestConsentExample::moduleAddsTheScreens()
{
    const auto sources = FactSource::builtInSources();
    const auto screens = std::find_if(sources.cbegin(), sources.cend(), [](const auto &source) {
        return source->id() == QLatin1String("screens");
    });
    QVERIFY(screens != sources.cend());
    QCOMPARE((*screens)->level(), TelemetryConsent::Detailed);
    const QJsonObject facts = (*screens)->value();
    QCOMPARE(facts.value("count").toInt(), QGuiApplication::screens().size());
    const QJsonObject first = facts.value("screens").toArray().first().toObject();
    QCOMPARE(first.value("width").toInt(), QGuiApplication::screens().first()->size().width());
    QCOMPARE(first.value("devicePixelRatio").toDouble(),
             QGuiApplication::screens().first()->devicePixelRatio());
}

void TestConsentExample::decideRecordSeeLowerAndDelete()
{
    // Asked first, with what each level sends.
    const QQuickItem *question = find("firstRunPage");
    QVERIFY(question);
    QVERIFY(!m_consent->isDecided());
    const auto asks
        = [question](const QString &text) { return shownTexts(question).filter(text).size() == 1; };
    for (const char *description :
         { "How long the application took to start, and on which system",
           "Which of the application's actions you use",
           "The size and kind of the documents you open", "\"type\": \"example.document\"" })
        QTRY_VERIFY2(asks(QString::fromUtf8(description)), description);
    QVERIFY(saveScreenshot(QStringLiteral("consent-first-run")));

    QVERIFY(click("levelUsage"));
    QVERIFY(click("confirmButton"));
    QTRY_VERIFY(m_consent->isDecided());
    QCOMPARE(m_consent->level(), TelemetryConsent::Usage);
    QTRY_VERIFY(find("homePage"));
    QVERIFY(saveScreenshot(QStringLiteral("consent-home")));

    // The start-up (Basic) and the action (Usage) arrive; the document (Detailed) never does.
    QVERIFY(click("openButton"));
    QVERIFY(click("sentTab"));
    const QStringList allowed { "example.action", "example.startup" };
    QTRY_COMPARE_WITH_TIMEOUT(sentTypes(), allowed, 60000);
    QStringList stored;
    for (const QJsonObject &document : couchDbDocuments(m_server, m_database))
        stored << document.value(QLatin1String("type")).toString();
    stored.sort();
    QCOMPARE(stored, allowed);
    QCOMPARE(find("sentList")->property("count").toInt(), 2);
    QVERIFY(saveScreenshot(QStringLiteral("consent-sent")));

    // Lowered to Basic, the application's actions are recorded no more.
    QVERIFY(click("privacyTab"));
    QTRY_VERIFY(find("privacyPage"));
    QVERIFY(saveScreenshot(QStringLiteral("consent-privacy")));
    QVERIFY(click("levelBasic"));
    QTRY_COMPARE(m_consent->level(), TelemetryConsent::Basic);
    QVERIFY(click("homeTab"));
    QVERIFY(click("openButton"));
    QCOMPARE(currentDataCollector()->getQueuedElementsCount(), 0);

    QVERIFY(click("privacyTab"));
    QVERIFY(click("deleteButton"));
    // Off the GUI thread, under the lock that a busy machine's flushes hold long.
    QTRY_COMPARE_WITH_TIMEOUT(m_sent->count(), 0, 20000);
    QTRY_VERIFY(shownTexts(find("privacyPage"))
                    .contains("Everything the application kept about you is deleted."));
    QVERIFY2(m_warnings.isEmpty(), qPrintable(m_warnings.value(0).toString()));
}

void TestConsentExample::cleanupTestCase()
{
    httpRequest("DELETE", m_server + QLatin1Char('/') + m_database);
}

KORVEL_TEST_MAIN_APP(TestConsentExample, QGuiApplication)
#include "tst_consentexample.moc"
