#include "telemetry/publishing/couchdbdocumentuploader.h"
#include "telemetry/publishing/networkmanager.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleton.h"

#include "fakehttpserver.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QStandardPaths>
#include <QUuid>

#include <memory>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

using UploadResult = QPair<QStringList, QStringList>;

namespace {

NetworkManager *processNetworkManager()
{
    return Singleton<NetworkManager>::getInstance();
}

// Sees every request an uploader builds, before Qt turns it into bytes.
class RecordingManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    struct Call
    {
        Operation operation;
        QNetworkRequest request;
        QPointer<QNetworkReply> reply;
    };
    QVector<Call> calls;

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *data) override
    {
        QNetworkReply *reply = QNetworkAccessManager::createRequest(operation, request, data);
        calls.append({ operation, request, reply });
        return reply;
    }
};

RecordingManager *installRecordingManager()
{
    auto *manager = new RecordingManager;
    processNetworkManager()->setNetworkAccessManager(manager);
    return manager;
}

struct Outcome
{
    bool success = false;
    QStringList ids;
    QStringList revs;
};

Outcome outcomeOf(const QList<QVariant> &arguments)
{
    const auto result = arguments.at(1).value<UploadResult>();
    return { arguments.at(0).toBool(), result.first, result.second };
}

// One upload, waited for; fails the test when finished() does not come exactly once.
void upload(DocumentUploader &uploader, const QStringList &documents, Outcome &outcome)
{
    QSignalSpy spy(&uploader, &DocumentUploader::finished);
    QVERIFY(spy.isValid());
    uploader.addDocuments(documents);
    QCOMPARE(spy.count(), 0); // the outcome comes from the event loop, never from the call
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.count(), 1);
    outcome = outcomeOf(spy.takeFirst());
}

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// CouchDB database names must start with a lowercase letter.
QString uniqueDatabaseName()
{
    return QStringLiteral("korvel_")
        + QUuid::createUuid().toString(QUuid::Id128).toLower().left(12);
}

} // namespace

class TestCouchDbUploader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    // What goes on the wire.
    void sendsBulkDocsBody_data();
    void sendsBulkDocsBody();
    void addsOnlyTheContentTypeHeader();
    void buildsUrlFromServerAndDatabase_data();
    void buildsUrlFromServerAndDatabase();

    // How the reply is read.
    void readsReply_data();
    void readsReply();
    void readsWholeBodyOfSlowReply();
    void connectionResetMidReplyFails();
    void overlappingCallsAnswerInFinishOrder();
    void uploaderDeletedInFlightStaysSilent();

    // The process's access manager.
    void createsManagerOnFirstUse();
    void settingHeldManagerChangesNothing();
    void replacingManagerDeletesPreviousAtOnce();
    void nullManagerIsReplacedByFreshDefault();
    void destructorDeletesHeldManager();

    // Against a real CouchDB-compatible server.
    void realServerStoresDocuments_data();
    void realServerStoresDocuments();
    void realServerReportsConflictAsSuccess();
    void realServerMissingDatabaseFails();

private:
    void requireCouchDb(QString &server);
    void createDatabase(const QString &server, const QString &database);

    std::unique_ptr<FakeHttpServer> m_http;
};

void TestCouchDbUploader::init()
{
    m_http = std::make_unique<FakeHttpServer>();
    QVERIFY(m_http->listen());
}

void TestCouchDbUploader::cleanup()
{
    // Each test starts with no manager held, and its replies die with its manager.
    processNetworkManager()->setNetworkAccessManager(nullptr);
    m_http.reset();
}

void TestCouchDbUploader::sendsBulkDocsBody_data()
{
    QTest::addColumn<QStringList>("documents");
    QTest::addColumn<QByteArray>("body");

    QTest::addRow("none") << QStringList() << QByteArray(" {\"docs\": []}");
    QTest::addRow("one") << QStringList { QStringLiteral("{\"_id\":\"a\"}") }
                         << QByteArray(" {\"docs\": [{\"_id\":\"a\"}]}");
    QTest::addRow("two") << QStringList { QStringLiteral("{\"_id\":\"a\"}"),
                                          QStringLiteral("{\"_id\":\"b\",\"v\":2}") }
                         << QByteArray(" {\"docs\": [{\"_id\":\"a\"},{\"_id\":\"b\",\"v\":2}]}");
    // Documents are neither validated nor re-serialised: blanks, line breaks and even text
    // that is not JSON go through byte for byte.
    QTest::addRow("as given") << QStringList {
        QStringLiteral("{ \"a\" : 1 }"), QStringLiteral("{\"b\":\n2}"), QStringLiteral("not json")
    } << QByteArray(" {\"docs\": [{ \"a\" : 1 },{\"b\":\n2},not json]}");
    QTest::addRow("UTF-8") << QStringList { QString::fromUtf8("{\"t\":\"Grüße ✓\"}") }
                           << QByteArray(" {\"docs\": [{\"t\":\"Gr\xc3\xbc\xc3\x9f"
                                         "e \xe2\x9c\x93\"}]}");
}

void TestCouchDbUploader::sendsBulkDocsBody()
{
    QFETCH(QStringList, documents);
    QFETCH(QByteArray, body);

    CouchDbDocumentUploader uploader(m_http->url(), QStringLiteral("db"), nullptr);
    Outcome outcome;
    upload(uploader, documents, outcome);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(m_http->requestCount(), 1);
    const FakeHttpServer::Request request = m_http->requests().first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/db/_bulk_docs"));
    QCOMPARE(request.body, body);
}

void TestCouchDbUploader::addsOnlyTheContentTypeHeader()
{
    RecordingManager *manager = installRecordingManager();
    const QStringList documents { QStringLiteral("{\"_id\":\"a\"}") };
    CouchDbDocumentUploader uploader(m_http->url(), QStringLiteral("db"), nullptr);
    Outcome outcome;
    upload(uploader, documents, outcome);
    if (QTest::currentTestFailed())
        return;

    // What the uploader asked for: one header, no attribute, no time-out.
    QCOMPARE(manager->calls.size(), 1);
    const QNetworkRequest built = manager->calls.first().request;
    QCOMPARE(built.rawHeaderList(), QList<QByteArray> { "Content-Type" });
    QCOMPARE(built.rawHeader("Content-Type"), QByteArray("application/json"));
    QStringList attributes;
    for (int code = 0; code <= QNetworkRequest::UserMax; ++code) {
        const auto attribute = QNetworkRequest::Attribute(code);
        if (built.attribute(attribute).isValid())
            attributes << QString::number(code);
    }
    QCOMPARE(attributes, QStringList());
    QCOMPARE(built.transferTimeout(), 0);

    // What reached the server, next to the same post from a bare manager: anything beyond
    // what Qt adds by itself would show up as a difference.
    QNetworkAccessManager bare;
    QNetworkRequest plain(QUrl(m_http->url() + QStringLiteral("/db/_bulk_docs")));
    plain.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    std::unique_ptr<QNetworkReply> reply(
        bare.post(plain, QByteArray(" {\"docs\": [{\"_id\":\"a\"}]}")));
    QSignalSpy plainFinished(reply.get(), &QNetworkReply::finished);
    QVERIFY(plainFinished.wait(10000));

    QCOMPARE(m_http->requestCount(), 2);
    const FakeHttpServer::Request sent = m_http->requests().at(0);
    const FakeHttpServer::Request reference = m_http->requests().at(1);
    QCOMPARE(sent.body, reference.body);
    QCOMPARE(sent.headers, reference.headers);
    int contentTypes = 0;
    for (const auto &header : sent.headers)
        contentTypes += header.first.compare("Content-Type", Qt::CaseInsensitive) == 0;
    QCOMPARE(contentTypes, 1);
    QCOMPARE(sent.header("Content-Type"), QByteArray("application/json"));
}

void TestCouchDbUploader::buildsUrlFromServerAndDatabase_data()
{
    QTest::addColumn<QString>("serverPath");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("urlPath"); // of the request's QUrl, fully encoded
    QTest::addColumn<QByteArray>("target"); // as the server receives it

    QTest::addRow("plain") << ""
                           << "db"
                           << "/db/_bulk_docs" << QByteArray("/db/_bulk_docs");
    // Nothing is normalised; Qt itself collapses the slashes on the wire.
    QTest::addRow("trailing slash") << "/"
                                    << "db"
                                    << "//db/_bulk_docs" << QByteArray("/db/_bulk_docs");
    QTest::addRow("path prefix") << "/couch"
                                 << "db"
                                 << "/couch/db/_bulk_docs" << QByteArray("/couch/db/_bulk_docs");
    // "%2" inside the server text is not a placeholder.
    QTest::addRow("percent in server")
        << "/a%2Fb"
        << "db"
        << "/a%2Fb/db/_bulk_docs" << QByteArray("/a%2Fb/db/_bulk_docs");
    // Tolerant parsing encodes what is not allowed raw and keeps what is encoded already.
    QTest::addRow("blank in database")
        << ""
        << "my db"
        << "/my%20db/_bulk_docs" << QByteArray("/my%20db/_bulk_docs");
    QTest::addRow("encoded database") << ""
                                      << "a%2Fb"
                                      << "/a%2Fb/_bulk_docs" << QByteArray("/a%2Fb/_bulk_docs");
}

void TestCouchDbUploader::buildsUrlFromServerAndDatabase()
{
    QFETCH(QString, serverPath);
    QFETCH(QString, database);
    QFETCH(QString, urlPath);
    QFETCH(QByteArray, target);

    RecordingManager *manager = installRecordingManager();
    CouchDbDocumentUploader uploader(m_http->url() + serverPath, database, nullptr);
    Outcome outcome;
    upload(uploader, {}, outcome);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(manager->calls.size(), 1);
    QCOMPARE(manager->calls.first().operation, QNetworkAccessManager::PostOperation);
    const QUrl url = manager->calls.first().request.url();
    QVERIFY2(url.isValid(), qPrintable(url.errorString()));
    QCOMPARE(url.toString(QUrl::FullyEncoded), m_http->url() + urlPath);
    QCOMPARE(m_http->requestCount(), 1);
    QCOMPARE(m_http->requests().first().target, target);
}

void TestCouchDbUploader::readsReply_data()
{
    QTest::addColumn<FakeHttpServer::Reply>("reply");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QStringList>("revs");
    QTest::addColumn<QStringList>("log"); // "{url}" stands for the request's URL

    const QStringList none;
    const QByteArray pairOfTwo
        = R"([{"ok":true,"id":"a","rev":"1-x"},{"ok":true,"id":"b","rev":"1-y"}])";

    QTest::addRow("201 array of two")
        << FakeHttpServer::json(pairOfTwo) << false << true << QStringList { "a", "b" }
        << QStringList { "1-x", "1-y" } << none;
    QTest::addRow("200 array") << FakeHttpServer::json(R"([{"id":"a","rev":"2-z"}])", 200) << false
                               << true << QStringList { "a" } << QStringList { "2-z" } << none;
    QTest::addRow("299 array") << FakeHttpServer::reply(299, "Odd", R"([{"id":"a","rev":"1"}])")
                               << false << true << QStringList { "a" } << QStringList { "1" }
                               << none;
    // A document the server rejected counts like any other element.
    QTest::addRow("rejected element")
        << FakeHttpServer::json(
               R"([{"id":"a","rev":"1-x"},{"id":"b","error":"conflict","reason":"exists"}])")
        << false << true << QStringList { "a", "b" } << QStringList { "1-x", "" } << none;
    QTest::addRow("odd elements") << FakeHttpServer::json(
        R"([{"id":5,"rev":null},"text",3,{"ok":true},[]])")
                                  << false << true << QStringList { "", "", "", "", "" }
                                  << QStringList { "", "", "", "", "" } << none;
    QTest::addRow("empty array") << FakeHttpServer::json("[]") << false << true << none << none
                                 << none;
    QTest::addRow("content type ignored")
        << FakeHttpServer::reply(201, "Created", R"([{"id":"a","rev":"1-x"}])", "text/plain")
        << false << true << QStringList { "a" } << QStringList { "1-x" } << none;

    QTest::addRow("2xx object") << FakeHttpServer::json(R"({"id":"a","rev":"1-x"})") << false
                                << false << none << none << none;
    QTest::addRow("invalid JSON") << FakeHttpServer::json("<html>busy</html>", 200) << false
                                  << false << none << none
                                  << QStringList {
                                         "critical: JSON parse error:  \"illegal value\""
                                     };
    QTest::addRow("cut JSON") << FakeHttpServer::json(R"([{"id":"a"})") << false << false << none
                              << none
                              << QStringList { "critical: JSON parse error:  \"unterminated "
                                               "array\"" };
    QTest::addRow("empty body") << FakeHttpServer::json("", 200) << false << false << none << none
                                << QStringList { "critical: JSON parse error:  \"illegal "
                                                 "value\"" };
    // Redirects are not followed (the server sees one request), and their body is not read.
    QTest::addRow("301") << FakeHttpServer::redirect(301, "/elsewhere/_bulk_docs") << false << false
                         << none << none << none;
    QTest::addRow("307") << FakeHttpServer::redirect(307, "/elsewhere/_bulk_docs") << false << false
                         << none << none << none;
    QTest::addRow("300") << FakeHttpServer::reply(300, "Multiple Choices", "[]") << false << false
                         << none << none << none;
    // An error status fails even when its body is an array.
    QTest::addRow("500") << FakeHttpServer::reply(500, "Internal Server Error", pairOfTwo) << false
                         << false << none << none
                         << QStringList { "critical: Transfer error: InternalServerError "
                                          "\"Error transferring {url} - server replied: "
                                          "Internal Server Error\"" };
    QTest::addRow("409") << FakeHttpServer::reply(409, "Conflict", pairOfTwo) << false << false
                         << none << none
                         << QStringList { "critical: Transfer error: ContentConflictError "
                                          "\"Error transferring {url} - server replied: "
                                          "Conflict\"" };
    QTest::addRow("refused") << FakeHttpServer::Reply() << true << false << none << none
                             << QStringList { "critical: Transfer error: ConnectionRefusedError "
                                              "\"Connection refused\"" };
}

void TestCouchDbUploader::readsReply()
{
    QFETCH(FakeHttpServer::Reply, reply);
    QFETCH(bool, refused);
    QFETCH(bool, success);
    QFETCH(QStringList, ids);
    QFETCH(QStringList, revs);
    QFETCH(QStringList, log);

    m_http->enqueue(reply);
    const QString server = refused
        ? QStringLiteral("http://127.0.0.1:%1").arg(FakeHttpServer::unusedPort())
        : m_http->url();
    QVERIFY(!server.endsWith(QLatin1String(":0")));
    log.replaceInStrings(QLatin1String("{url}"), server + QLatin1String("/db/_bulk_docs"));

    RecordingManager *manager = installRecordingManager();
    CouchDbDocumentUploader uploader(server, QStringLiteral("db"), nullptr);

    // The reply is handed to deleteLater(): alive while finished() goes out, gone after.
    bool replyAliveAtFinish = false;
    connect(&uploader, &DocumentUploader::finished, this,
            [&] { replyAliveAtFinish = !manager->calls.value(0).reply.isNull(); });

    MessageCapture capture;
    Outcome outcome;
    upload(uploader, { QStringLiteral("{\"_id\":\"a\"}") }, outcome);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(outcome.success, success);
    QCOMPARE(outcome.ids, ids);
    QCOMPARE(outcome.revs, revs);
    QCOMPARE(capture.all(), log);
    QCOMPARE(m_http->requestCount(), refused ? 0 : 1);

    QCOMPARE(manager->calls.size(), 1);
    QVERIFY(replyAliveAtFinish);
    QTRY_VERIFY(manager->calls.first().reply.isNull());
}

void TestCouchDbUploader::readsWholeBodyOfSlowReply()
{
    RecordingManager *manager = installRecordingManager();
    m_http->enqueue(FakeHttpServer::stalled(R"([{"id":"a","rev":"1-x"},{"id":"b","rev":"1-y"}])"));
    CouchDbDocumentUploader uploader(m_http->url(), QStringLiteral("db"), nullptr);
    QSignalSpy spy(&uploader, &DocumentUploader::finished);
    uploader.addDocuments({ QStringLiteral("{}") });

    // Half the body has arrived and nothing is decided yet.
    QTRY_COMPARE(manager->calls.size(), 1);
    const QPointer<QNetworkReply> reply = manager->calls.first().reply;
    QTRY_VERIFY(reply && reply->bytesAvailable() > 0);
    QVERIFY(!reply->isFinished());
    QCOMPARE(spy.count(), 0);

    m_http->release();
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.count(), 1);
    const Outcome outcome = outcomeOf(spy.first());
    QVERIFY(outcome.success);
    QCOMPARE(outcome.ids, QStringList({ "a", "b" }));
    QCOMPARE(outcome.revs, QStringList({ "1-x", "1-y" }));
}

void TestCouchDbUploader::connectionResetMidReplyFails()
{
    RecordingManager *manager = installRecordingManager();
    m_http->enqueue(FakeHttpServer::stalled(R"([{"id":"a","rev":"1-x"},{"id":"b","rev":"1-y"}])"));
    CouchDbDocumentUploader uploader(m_http->url(), QStringLiteral("db"), nullptr);
    QSignalSpy spy(&uploader, &DocumentUploader::finished);
    MessageCapture capture;
    uploader.addDocuments({ QStringLiteral("{}") });

    // Reset only once the client holds part of the body, so that the reset meets a reply
    // in the middle of its body.
    QTRY_COMPARE(manager->calls.size(), 1);
    const QPointer<QNetworkReply> reply = manager->calls.first().reply;
    QTRY_VERIFY(reply && reply->bytesAvailable() > 0);
    m_http->reset();

    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.count(), 1);
    const Outcome outcome = outcomeOf(spy.first());
    QVERIFY(!outcome.success);
    QCOMPARE(outcome.ids, QStringList());
    QCOMPARE(outcome.revs, QStringList());
    QCOMPARE(
        capture.all(),
        QStringList { "critical: Transfer error: RemoteHostClosedError \"Connection closed\"" });
}

void TestCouchDbUploader::overlappingCallsAnswerInFinishOrder()
{
    m_http->enqueue(FakeHttpServer::stalled(R"([{"id":"first","rev":"1-f"}])"));
    m_http->enqueue(FakeHttpServer::json(R"([{"id":"second","rev":"1-s"}])"));
    CouchDbDocumentUploader uploader(m_http->url(), QStringLiteral("db"), nullptr);
    QSignalSpy spy(&uploader, &DocumentUploader::finished);

    uploader.addDocuments({ QStringLiteral("{\"_id\":\"first\"}") });
    QTRY_COMPARE(m_http->requestCount(), 1); // the stalled answer goes to this one
    uploader.addDocuments({ QStringLiteral("{\"_id\":\"second\"}") });

    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(outcomeOf(spy.at(0)).ids, QStringList { "second" });

    m_http->release();
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(outcomeOf(spy.at(1)).ids, QStringList { "first" });
    QCOMPARE(outcomeOf(spy.at(1)).revs, QStringList { "1-f" });
}

void TestCouchDbUploader::uploaderDeletedInFlightStaysSilent()
{
    RecordingManager *manager = installRecordingManager();
    m_http->enqueue(FakeHttpServer::stalled(R"([{"id":"a","rev":"1-x"}])"));
    auto *uploader = new CouchDbDocumentUploader(m_http->url(), QStringLiteral("db"), nullptr);
    QSignalSpy spy(uploader, &DocumentUploader::finished);
    MessageCapture capture;
    uploader->addDocuments({ QStringLiteral("{\"_id\":\"a\"}") });

    QTRY_COMPARE(manager->calls.size(), 1);
    const QPointer<QNetworkReply> reply = manager->calls.first().reply;
    QTRY_VERIFY(reply && reply->bytesAvailable() > 0);
    delete uploader;

    QSignalSpy replyFinished(reply.data(), &QNetworkReply::finished);
    m_http->release();
    QVERIFY(replyFinished.wait(10000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    QCOMPARE(spy.count(), 0);
    QCOMPARE(capture.all(), QStringList());
    // The handler never ran: it would have handed the reply to deleteLater().
    QVERIFY(!reply.isNull());
}

void TestCouchDbUploader::createsManagerOnFirstUse()
{
    NetworkManager networkManager;
    QNetworkAccessManager *manager = networkManager.networkAccessManager();
    QVERIFY(manager);
    QCOMPARE(networkManager.networkAccessManager(), manager);
    QCOMPARE(manager->parent(), nullptr);
    QCOMPARE(manager->thread(), QThread::currentThread());
}

void TestCouchDbUploader::settingHeldManagerChangesNothing()
{
    NetworkManager networkManager;
    const QPointer<QNetworkAccessManager> held = new RecordingManager;
    networkManager.setNetworkAccessManager(held);
    networkManager.setNetworkAccessManager(held);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!held.isNull());
    QCOMPARE(networkManager.networkAccessManager(), held.data());
}

void TestCouchDbUploader::replacingManagerDeletesPreviousAtOnce()
{
    NetworkManager networkManager;
    const QPointer<QNetworkAccessManager> first = networkManager.networkAccessManager();
    auto *second = new RecordingManager;
    networkManager.setNetworkAccessManager(second);
    QVERIFY(first.isNull());
    QCOMPARE(networkManager.networkAccessManager(), second);
}

void TestCouchDbUploader::nullManagerIsReplacedByFreshDefault()
{
    // Through the process's instance, as the uploaders use it.
    const QPointer<QNetworkAccessManager> installed = installRecordingManager();
    processNetworkManager()->setNetworkAccessManager(nullptr);
    QVERIFY(installed.isNull());

    QNetworkAccessManager *fresh = processNetworkManager()->networkAccessManager();
    QVERIFY(fresh);
    QVERIFY(!qobject_cast<RecordingManager *>(fresh));
    QCOMPARE(processNetworkManager()->networkAccessManager(), fresh);

    CouchDbDocumentUploader uploader(m_http->url(), QStringLiteral("db"), nullptr);
    Outcome outcome;
    upload(uploader, {}, outcome);
    QVERIFY(outcome.success);
    QCOMPARE(m_http->requestCount(), 1);
}

void TestCouchDbUploader::destructorDeletesHeldManager()
{
    QPointer<QNetworkAccessManager> held;
    {
        NetworkManager networkManager;
        held = networkManager.networkAccessManager();
        QVERIFY(held);
    }
    QVERIFY(held.isNull());
}

// Without Node.js there is no server to start, and only then is it fine to have none.
void TestCouchDbUploader::requireCouchDb(QString &server)
{
    server = couchDbUrl();
    if (server.isEmpty() && QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty())
        QSKIP("Node.js is not installed, so there is no CouchDB-compatible server to test with");
    QVERIFY2(!server.isEmpty(),
             "No CouchDB server: run through ctest, whose fixture starts one, or set "
             "KORVEL_COUCHDB_URL (scripts/couchdb-server start prints a URL)");
}

void TestCouchDbUploader::createDatabase(const QString &server, const QString &database)
{
    const HttpAnswer answer = httpRequest("PUT", server + QLatin1Char('/') + database);
    QVERIFY2(answer.status == 201, answer.body.constData());
}

void TestCouchDbUploader::realServerStoresDocuments_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addRow("plain") << QString();
    QTest::addRow("trailing slash") << QStringLiteral("/");
}

void TestCouchDbUploader::realServerStoresDocuments()
{
    QFETCH(QString, suffix);
    QString server;
    requireCouchDb(server);
    if (server.isEmpty())
        return;
    const QString database = uniqueDatabaseName();
    createDatabase(server, database);
    if (QTest::currentTestFailed())
        return;

    QVector<QJsonObject> sent;
    QStringList documents;
    QStringList sentIds;
    for (int i = 0; i < 3; ++i) {
        const QJsonObject document { { "_id", generateUniqueId() },
                                     { "timestamp", 1700000000000LL + i },
                                     { "type", "counter" },
                                     { "value", i },
                                     { "label", QString::fromUtf8("Grüße \"%1\"").arg(i) } };
        sent << document;
        documents << compact(document);
        sentIds << document.value(QLatin1String("_id")).toString();
    }

    CouchDbDocumentUploader uploader(server + suffix, database, nullptr);
    MessageCapture capture;
    Outcome outcome;
    upload(uploader, documents, outcome);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(outcome.success);
    QCOMPARE(outcome.ids, sentIds);
    QCOMPARE(capture.all(), QStringList());

    // What the server holds, read back independently of the uploader's report.
    const QHash<QString, QJsonObject> stored = couchDbDocuments(server, database);
    QCOMPARE(stored.size(), sent.size());
    for (int i = 0; i < sent.size(); ++i) {
        QJsonObject document = stored.value(sentIds.at(i));
        QCOMPARE(document.value(QLatin1String("_rev")).toString(), outcome.revs.at(i));
        QVERIFY(outcome.revs.at(i).startsWith(QLatin1String("1-")));
        document.remove(QLatin1String("_rev"));
        QCOMPARE(document, sent.at(i));
    }
}

void TestCouchDbUploader::realServerReportsConflictAsSuccess()
{
    QString server;
    requireCouchDb(server);
    if (server.isEmpty())
        return;
    const QString database = uniqueDatabaseName();
    createDatabase(server, database);
    if (QTest::currentTestFailed())
        return;

    const QString existing = generateUniqueId();
    const QString added = generateUniqueId();
    CouchDbDocumentUploader uploader(server, database, nullptr);
    Outcome first;
    upload(uploader, { compact({ { "_id", existing }, { "value", 1 } }) }, first);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(first.success);

    Outcome second;
    upload(uploader,
           { compact({ { "_id", existing }, { "value", 2 } }),
             compact({ { "_id", added }, { "value", 3 } }) },
           second);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(second.success);
    QCOMPARE(second.ids, QStringList({ existing, added }));
    QCOMPARE(second.revs.size(), 2);
    QCOMPARE(second.revs.at(0), QString());
    QVERIFY(second.revs.at(1).startsWith(QLatin1String("1-")));

    const QHash<QString, QJsonObject> stored = couchDbDocuments(server, database);
    QHash<QString, int> values;
    for (const QJsonObject &document : stored)
        values.insert(document.value(QLatin1String("_id")).toString(),
                      document.value(QLatin1String("value")).toInt());
    QCOMPARE(values.size(), 2);
    QCOMPARE(values.value(existing), 1); // the conflicting copy was not stored
    QCOMPARE(values.value(added), 3);
}

void TestCouchDbUploader::realServerMissingDatabaseFails()
{
    QString server;
    requireCouchDb(server);
    if (server.isEmpty())
        return;
    CouchDbDocumentUploader uploader(server, uniqueDatabaseName(), nullptr);
    MessageCapture capture;
    Outcome outcome;
    upload(uploader, { QStringLiteral("{\"_id\":\"a\"}") }, outcome);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(!outcome.success);
    QCOMPARE(outcome.ids, QStringList());
    QCOMPARE(outcome.revs, QStringList());
    const QStringList log = capture.all();
    QCOMPARE(log.size(), 1);
    QVERIFY2(
        log.first().startsWith(QLatin1String("critical: Transfer error: ContentNotFoundError \"")),
        qPrintable(log.first()));
}

KORVEL_TEST_MAIN(TestCouchDbUploader)

#include "tst_couchdbuploader.moc"
