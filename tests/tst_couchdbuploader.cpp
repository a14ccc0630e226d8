#include "telemetry/publishing/couchdbdocumentuploader.h"
#include "telemetry/publishing/networkmanager.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleton.h"

#include "fakehttpserver.h"
#include "testsupport.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QScopeGuard>
#include <QSslConfiguration>

#include <memory>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

Q_DECLARE_METATYPE(UploadResult::Kind)

namespace {

// Sees every request an uploader builds, before Qt turns it into bytes.
class RecordingManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    QVector<QPair<QNetworkRequest, QPointer<QNetworkReply>>> calls;

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *data) override
    {
        calls.append({ request, QNetworkAccessManager::createRequest(operation, request, data) });
        return calls.last().second;
    }
};

RecordingManager *installRecordingManager()
{
    auto *manager = new RecordingManager;
    Singleton<NetworkManager>::getInstance()->setNetworkAccessManager(manager);
    return manager;
}

using Result = QPair<QStringList, QStringList>; // ids, revs

struct Outcome
{
    bool success = false;
    QStringList ids;
    QStringList revs;
};

// One upload, waited for: the outcome comes once, from the event loop, never from the call.
void upload(DocumentUploader &uploader, const QStringList &documents, Outcome &outcome)
{
    QSignalSpy spy(&uploader, &DocumentUploader::finished);
    uploader.addDocuments(documents);
    QCOMPARE(spy.count(), 0);
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.count(), 1);
    const Result result = spy.first().at(1).value<Result>();
    outcome = { spy.first().at(0).toBool(), result.first, result.second };
}

} // namespace

class TestCouchDbUploader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void sendsRequest_data();
    void sendsRequest();
    void readsReply_data();
    void readsReply();
    void overlappingCallsAnswerInFinishOrder();
    void uploaderDeletedInFlightStaysSilent();
    void ownsOneAccessManager();

    void classifiesAnswers_data();
    void classifiesAnswers();
    void boundsItsOwnManagerOnly();
    void sendsCredentialsUnasked_data();
    void sendsCredentialsUnasked();
    void tlsThroughAPrivateCa();

private:
    void startStalledUpload(DocumentUploader &uploader, QPointer<QNetworkReply> &reply);

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
    Singleton<NetworkManager>::getInstance()->setNetworkAccessManager(nullptr);
    m_http.reset();
}

void TestCouchDbUploader::sendsRequest_data()
{
    QTest::addColumn<QString>("serverPath");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QStringList>("documents");
    QTest::addColumn<QString>("urlPath"); // of the request's QUrl, fully encoded
    QTest::addColumn<QByteArray>("body");
    QTest::addRow("no documents") << ""
                                  << "db" << QStringList() << "/db/_bulk_docs"
                                  << QByteArray(" {\"docs\": []}");
    // Neither validated nor re-serialised: blanks, line breaks, non-ASCII text and even text
    // that is not JSON go through byte for byte, as UTF-8.
    QTest::addRow("documents as given")
        << ""
        << "db" << QStringList { "{ \"a\" : 1 }", QString::fromUtf8("{\"t\":\n\"Grüße ✓\"}"), "no" }
        << "/db/_bulk_docs"
        << QByteArray(" {\"docs\": [{ \"a\" : 1 },{\"t\":\n\"Gr\xc3\xbc\xc3\x9f"
                      "e \xe2\x9c\x93\"},no]}");
    // Nothing is normalised: the trailing slash stays, "%2" in the server text is not a
    // placeholder, and tolerant parsing encodes the blank but keeps what is encoded already.
    QTest::addRow("server and database as given")
        << "/a%2Fb/"
        << "c d%2Fe" << QStringList() << "/a%2Fb//c%20d%2Fe/_bulk_docs"
        << QByteArray(" {\"docs\": []}");
}

void TestCouchDbUploader::sendsRequest()
{
    QFETCH(QString, serverPath);
    QFETCH(QString, database);
    QFETCH(QStringList, documents);
    QFETCH(QString, urlPath);
    QFETCH(QByteArray, body);
    RecordingManager *manager = installRecordingManager();
    CouchDbDocumentUploader uploader(m_http->url() + serverPath, database, nullptr);
    Outcome outcome;
    upload(uploader, documents, outcome);
    if (QTest::currentTestFailed())
        return;

    // What the uploader asked for: a post with one header, no attribute, no time-out.
    QCOMPARE(manager->calls.size(), 1);
    const QNetworkRequest built = manager->calls.first().first;
    QCOMPARE(built.url().toString(QUrl::FullyEncoded), m_http->url() + urlPath);
    QCOMPARE(built.rawHeaderList(), QList<QByteArray> { "Content-Type" });
    for (int code = 0; code <= QNetworkRequest::UserMax; ++code)
        QVERIFY(!built.attribute(QNetworkRequest::Attribute(code)).isValid());
    QCOMPARE(built.transferTimeout(), 0);

    // What reached the server, next to the expected post from a bare manager: anything beyond
    // what Qt adds by itself, or another Content-Type, shows up as a difference.
    QNetworkAccessManager bare;
    QNetworkRequest plain(QUrl(m_http->url() + urlPath));
    plain.setRawHeader("Content-Type", "application/json");
    std::unique_ptr<QNetworkReply> reply(bare.post(plain, body));
    QVERIFY(QSignalSpy(reply.get(), &QNetworkReply::finished).wait(10000));
    QCOMPARE(m_http->requestCount(), 2);
    const FakeHttpServer::Request sent = m_http->requests().at(0);
    const FakeHttpServer::Request expected = m_http->requests().at(1);
    QCOMPARE(sent.method, QByteArray("POST"));
    QCOMPARE(sent.target, expected.target);
    QCOMPARE(sent.headers, expected.headers);
    QCOMPARE(sent.body, body);
}

void TestCouchDbUploader::readsReply_data()
{
    QTest::addColumn<FakeHttpServer::Reply>("reply");
    QTest::addColumn<bool>("success");
    QTest::addColumn<Result>("result");
    QTest::addColumn<QString>("log"); // the one message expected; "{url}" is the request's URL
    const Result none;
    // A document the server rejected counts like any other element.
    QTest::addRow("200 array") << FakeHttpServer::json(
        R"([{"ok":true,"id":"a","rev":"1-x"},{"id":"b","error":"conflict","reason":"x"}])", 200)
                               << true << Result({ "a", "b" }, { "1-x", "" }) << "";
    QTest::addRow("299, content type ignored")
        << FakeHttpServer::reply(299, "Odd", R"([{"id":"a","rev":"1"}])", "text/plain") << true
        << Result({ "a" }, { "1" }) << "";
    QTest::addRow("odd elements") << FakeHttpServer::json(
        R"([{"id":5,"rev":null},"text",3,{"ok":true},[]])")
                                  << true << Result({ "", "", "", "", "" }, { "", "", "", "", "" })
                                  << "";
    QTest::addRow("2xx object") << FakeHttpServer::json(R"({"id":"a","rev":"1-x"})") << false
                                << none << "";
    QTest::addRow("invalid JSON") << FakeHttpServer::json("<html>busy</html>", 200) << false << none
                                  << "critical: JSON parse error:  \"illegal value\"";
    // Redirects are not followed (the server sees one request), and their body is not read.
    QTest::addRow("307") << FakeHttpServer::redirect(307, "/elsewhere/_bulk_docs") << false << none
                         << "";
    QTest::addRow("300") << FakeHttpServer::reply(300, "Multiple Choices", "[]") << false << none
                         << "";
    // An error status fails even when its body is an array.
    QTest::addRow("500") << FakeHttpServer::reply(500, "Internal Server Error", "[]") << false
                         << none
                         << "critical: Transfer error: InternalServerError \"Error transferring "
                            "{url} - server replied: Internal Server Error\"";
}

void TestCouchDbUploader::readsReply()
{
    QFETCH(FakeHttpServer::Reply, reply);
    QFETCH(bool, success);
    QFETCH(Result, result);
    QFETCH(QString, log);
    m_http->enqueue(reply);
    RecordingManager *manager = installRecordingManager();
    CouchDbDocumentUploader uploader(m_http->url(), QStringLiteral("db"), nullptr);
    // The reply is handed to deleteLater(): alive while finished() goes out, gone after.
    bool replyAliveAtFinish = false;
    connect(&uploader, &DocumentUploader::finished, this,
            [&] { replyAliveAtFinish = !manager->calls.value(0).second.isNull(); });

    MessageCapture capture;
    Outcome outcome;
    upload(uploader, { "{\"_id\":\"a\"}" }, outcome);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(outcome.success, success);
    QCOMPARE(Result(outcome.ids, outcome.revs), result);
    log.replace("{url}", m_http->url() + "/db/_bulk_docs");
    QCOMPARE(capture.all(), log.isEmpty() ? QStringList() : QStringList { log });
    QCOMPARE(m_http->requestCount(), 1);
    QVERIFY(replyAliveAtFinish);
    QTRY_VERIFY(manager->calls.first().second.isNull());
}

// Starts an upload whose reply stalls halfway; @p reply is set once part of the body has
// reached the client, so that what the test does next meets a reply in the middle of its body.
void TestCouchDbUploader::startStalledUpload(DocumentUploader &uploader,
                                             QPointer<QNetworkReply> &reply)
{
    RecordingManager *manager = installRecordingManager();
    m_http->enqueue(FakeHttpServer::stalled(R"([{"id":"a","rev":"1-x"},{"id":"b","rev":"1-y"}])"));
    uploader.addDocuments({ "{\"_id\":\"a\"}" });
    QTRY_COMPARE(manager->calls.size(), 1);
    QTRY_VERIFY(manager->calls.first().second && manager->calls.first().second->bytesAvailable());
    reply = manager->calls.first().second;
}

void TestCouchDbUploader::overlappingCallsAnswerInFinishOrder()
{
    CouchDbDocumentUploader uploader(m_http->url(), QStringLiteral("db"), nullptr);
    QSignalSpy spy(&uploader, &DocumentUploader::finished);
    QPointer<QNetworkReply> first;
    startStalledUpload(uploader, first);
    QVERIFY(first);
    QCOMPARE(spy.count(), 0); // part of a body decides nothing
    m_http->enqueue(FakeHttpServer::json(R"([{"id":"second","rev":"1-s"}])"));
    uploader.addDocuments({ "{\"_id\":\"second\"}" });
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.at(0).at(1).value<Result>(), Result({ "second" }, { "1-s" }));
    m_http->release();
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).toBool(), true);
    QCOMPARE(spy.at(1).at(1).value<Result>(), Result({ "a", "b" }, { "1-x", "1-y" }));
}

void TestCouchDbUploader::uploaderDeletedInFlightStaysSilent()
{
    auto *uploader = new CouchDbDocumentUploader(m_http->url(), QStringLiteral("db"), nullptr);
    QSignalSpy spy(uploader, &DocumentUploader::finished);
    MessageCapture capture;
    QPointer<QNetworkReply> reply;
    startStalledUpload(*uploader, reply);
    delete uploader;
    QVERIFY(reply);
    QSignalSpy replyFinished(reply.data(), &QNetworkReply::finished);
    m_http->release();
    QVERIFY(replyFinished.wait(10000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(capture.all(), QStringList());
    QVERIFY(reply); // the handler never ran: it would have handed the reply to deleteLater()
}

// One life of the held manager, through every way of ending it.
void TestCouchDbUploader::ownsOneAccessManager()
{
    QPointer<QNetworkAccessManager> last;
    {
        NetworkManager networkManager;
        const QPointer<QNetworkAccessManager> first = networkManager.networkAccessManager();
        QCOMPARE(networkManager.networkAccessManager(), first.data());
        // No parent, so that it belongs to the calling thread and nothing else deletes it.
        QVERIFY(first && !first->parent() && first->thread() == QThread::currentThread());
        const QPointer<QNetworkAccessManager> second = new RecordingManager;
        networkManager.setNetworkAccessManager(second);
        QVERIFY(first.isNull()); // at once, not deferred
        networkManager.setNetworkAccessManager(second); // setting the held one changes nothing
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(networkManager.networkAccessManager(), second.data());
        networkManager.setNetworkAccessManager(nullptr);
        QVERIFY(second.isNull());
        last = networkManager.networkAccessManager();
        QVERIFY(last && !qobject_cast<RecordingManager *>(last)); // a fresh default one
    }
    QVERIFY(last.isNull());
}

void TestCouchDbUploader::classifiesAnswers_data()
{
    using Kind = UploadResult::Kind;
    QTest::addColumn<FakeHttpServer::Reply>("reply");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QStringList>("refused"); // "id error reason"
    QTest::addColumn<QString>("log"); // a message that must be among those logged
    const auto row = [](const char *name, const FakeHttpServer::Reply &reply, Kind kind,
                        const QStringList &stored = {}, const QStringList &refused = {},
                        const QString &log = {}) {
        QTest::addRow("%s", name) << reply << kind << stored << refused << log;
    };
    const auto status = [](int code, const QByteArray &body = "{}") {
        return FakeHttpServer::reply(code, "Status", body);
    };

    row("all ok", FakeHttpServer::json(R"([{"ok":true,"id":"a","rev":"1"},{"ok":true,"id":"b"}])"),
        Kind::PerDocument, { "a", "b" });
    row("conflict is stored",
        FakeHttpServer::json(R"([{"ok":true,"id":"a"},{"id":"b","error":"conflict"}])"),
        Kind::PerDocument, { "a", "b" });
    row("unauthorized",
        FakeHttpServer::json(R"([{"id":"a","error":"unauthorized","reason":"members only"},)"
                             R"({"id":"b","error":"unauthorized"}])"),
        Kind::PerDocument, {}, { "a unauthorized members only", "b unauthorized " });
    row("forbidden",
        FakeHttpServer::json(
            R"([{"ok":true,"id":"a"},{"id":"b","error":"forbidden","reason":"no"}])"),
        Kind::PerDocument, { "a" }, { "b forbidden no" });
    row("empty array", FakeHttpServer::json("[]"), Kind::PerDocument);
    row("half the ids", FakeHttpServer::json(R"([{"ok":true,"id":"b"}])"), Kind::PerDocument,
        { "b" });
    const QByteArray invalid(R"({"error":"bad_request","reason":"invalid_json"})");
    row("400", status(400, invalid), Kind::ContentRefused);
    row("413", status(413), Kind::ContentRefused);
    row("500 validation", status(500, R"({"error":"doc_validation","reason":"Bad member: _x"})"),
        Kind::ContentRefused);
    row("500 other", status(500), Kind::Transient);
    row("401", status(401), Kind::CredentialsRefused);
    row("403", status(403), Kind::CredentialsRefused);
    row("408", status(408, invalid), Kind::Transient);
    row("503", status(503, invalid), Kind::Transient);
    // The bound is 1000 bytes and the time-out 500 ms in this test.
    row("endless body", FakeHttpServer::stalled("[" + QByteArray(4000, ' ') + "]"), Kind::Transient,
        {}, {}, "warning: Upload aborted, the answer is larger than 1000 bytes");
    FakeHttpServer::Reply silent;
    silent.ending = FakeHttpServer::Reply::Stall;
    row("never answers", silent, Kind::Transient, {}, {},
        "warning: Upload aborted, no complete answer within 500 ms");
}

void TestCouchDbUploader::classifiesAnswers()
{
    QFETCH(FakeHttpServer::Reply, reply);
    QFETCH(UploadResult::Kind, kind);
    QFETCH(QStringList, stored);
    QFETCH(QStringList, refused);
    QFETCH(QString, log);

    NetworkManager *network = Singleton<NetworkManager>::getInstance();
    const auto defaults = qScopeGuard([network] {
        network->setUploadTimeout(30000);
        network->setMaxReplySize(1024 * 1024);
    });
    network->setUploadTimeout(500);
    network->setMaxReplySize(1000);
    // A host's manager has no transfer time-out of its own, so the uploader's deadline acts.
    installRecordingManager();
    m_http->enqueue(reply);
    CouchDbDocumentUploader uploader(m_http->url(), QStringLiteral("db"), nullptr);
    QSignalSpy spy(&uploader, &DocumentUploader::resultReady);
    MessageCapture capture;
    uploader.addDocuments({ QStringLiteral("{\"_id\":\"a\"}"), QStringLiteral("{\"_id\":\"b\"}") });
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.count(), 1);

    const auto result = spy.first().first().value<UploadResult>();
    QCOMPARE(result.kind(), kind);
    QCOMPARE(result.storedIds(), stored);
    QStringList refusals;
    for (const UploadResult::Refusal &refusal : result.refused())
        refusals << refusal.id + QLatin1Char(' ') + refusal.error + QLatin1Char(' ')
                + refusal.reason;
    QCOMPARE(refusals, refused);
    if (!log.isEmpty())
        QVERIFY2(capture.all().contains(log), qPrintable(capture.all().join(QLatin1Char('\n'))));
}

void TestCouchDbUploader::boundsItsOwnManagerOnly()
{
    NetworkManager network;
    QCOMPARE(network.networkAccessManager()->transferTimeout(), 30000);
    auto *host = new QNetworkAccessManager;
    network.setNetworkAccessManager(host);
    network.setUploadTimeout(5000);
    QCOMPARE(host->transferTimeout(), 0);
    network.setNetworkAccessManager(nullptr);
    QCOMPARE(network.networkAccessManager()->transferTimeout(), 5000);
}

void TestCouchDbUploader::sendsCredentialsUnasked_data()
{
    QTest::addColumn<QString>("bucketServer"); // "{host}" stands for the fake server's host:port
    QTest::addColumn<QString>("userName");
    QTest::addColumn<QString>("uploaderServer");
    QTest::addColumn<QByteArray>("authorization");
    const auto row = [](const char *name, const char *bucketServer, const char *userName,
                        const char *uploaderServer, const QByteArray &authorization) {
        QTest::addRow("%s", name) << bucketServer << userName << uploaderServer << authorization;
    };
    // "us er:p:\u00e4" in UTF-8; the properties win over the URL; only that server gets them.
    row("URL", "http://us%20er:p%3A%C3%A4@{host}/", "", "http://{host}/", "Basic dXMgZXI6cDrDpA==");
    row("properties", "http://url:user@{host}/base", "writer", "http://{host}/base",
        "Basic d3JpdGVyOnB3");
    row("other server", "http://a:b@{host}/other", "", "http://{host}", "");
    row("stored with user info", "", "", "http://old:pw@{host}", "Basic b2xkOnB3");
}

// CouchDB answers 401 without a challenge, so the credentials must go with the first request.
void TestCouchDbUploader::sendsCredentialsUnasked()
{
    QFETCH(QString, bucketServer);
    QFETCH(QString, userName);
    QFETCH(QString, uploaderServer);
    QFETCH(QByteArray, authorization);
    const QString host = m_http->url().mid(int(qstrlen("http://")));
    CouchDBBucket bucket;
    bucket.setServer(QUrl(bucketServer.replace(QLatin1String("{host}"), host)));
    bucket.setUserName(userName);
    bucket.setPassword(QStringLiteral("pw"));
    m_http->enqueue(FakeHttpServer::reply(401, "Unauthorized", R"({"error":"unauthorized"})"));

    RecordingManager *manager = installRecordingManager();
    CouchDbDocumentUploader uploader(uploaderServer.replace(QLatin1String("{host}"), host), "db");
    Outcome outcome;
    upload(uploader, { QStringLiteral("{}") }, outcome);
    QCOMPARE(m_http->requestCount(), 1);
    QCOMPARE(m_http->requests().first().header("Authorization"), authorization);
    QCOMPARE(manager->calls.first().first.url().userInfo(), QString()); // it shows in the log
}

// A throwaway CA signs a certificate for 127.0.0.1; a proxy speaks TLS with it in front of the
// fake server. Trusted only once the host adds the CA to the default configuration.
void TestCouchDbUploader::tlsThroughAPrivateCa()
{
    QTemporaryDir keys;
    const auto openssl = [&keys](const QStringList &arguments) {
        QProcess process;
        process.setWorkingDirectory(keys.path());
        process.start(QStringLiteral("openssl"),
                      QStringList { "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                    "ec_paramgen_curve:P-256", "-nodes", "-days", "1" }
                          + arguments);
        return process.waitForFinished(30000) && process.exitCode() == 0;
    };
    QVERIFY(openssl({ "-subj", "/CN=Korvel test CA", "-keyout", "ca.key", "-out", "ca.pem" }));
    QVERIFY(openssl({ "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-CA",
                      "ca.pem", "-CAkey", "ca.key", "-keyout", "tls.key", "-out", "tls.pem" }));
    QProcess proxy;
    proxy.start(QStringLiteral("node"),
                { QStringLiteral(KORVEL_SOURCE_DIR "/scripts/tls-proxy.mjs"),
                  keys.filePath("tls.key"), keys.filePath("tls.pem"), m_http->url() });
    const auto stop = qScopeGuard([&proxy] {
        proxy.closeWriteChannel(); // it quits when its input ends
        proxy.waitForFinished();
    });
    const QString secure = QString::fromUtf8(readHelperLine(proxy));
    QVERIFY2(secure.startsWith("https://"), proxy.readAllStandardError().constData());

    const QSslConfiguration original = QSslConfiguration::defaultConfiguration();
    const auto restore
        = qScopeGuard([&original] { QSslConfiguration::setDefaultConfiguration(original); });
    CouchDbDocumentUploader uploader(secure, QStringLiteral("db"));
    MessageCapture capture;
    Outcome outcome;
    upload(uploader, { QStringLiteral("{\"_id\":\"tls\"}") }, outcome);
    QVERIFY(!outcome.success);
    const QString tlsErrors = capture.all().filter(QStringLiteral("TLS errors:")).value(0);
    QVERIFY2(tlsErrors.startsWith("critical: TLS errors: (\"The issuer certificate of a locally "
                                  "looked up certificate could not be found\""),
             qPrintable(capture.all().join('\n')));

    QSslConfiguration trusting = original;
    QVERIFY(trusting.addCaCertificates(keys.filePath("ca.pem")));
    QSslConfiguration::setDefaultConfiguration(trusting);
    // Connections Qt keeps open keep the configuration they started with.
    Singleton<NetworkManager>::getInstance()->setNetworkAccessManager(nullptr);
    m_http->enqueue(FakeHttpServer::json(R"([{"ok":true,"id":"tls"}])"));
    upload(uploader, { QStringLiteral("{\"_id\":\"tls\"}") }, outcome);
    QVERIFY2(outcome.success, qPrintable(capture.all().join('\n')));
}

KORVEL_TEST_MAIN(TestCouchDbUploader)
#include "tst_couchdbuploader.moc"
