#include "testsupport.h"

#include "ipccleanup.h"

#include "telemetry/runtime/runtime.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>

// Qt's object life-cycle hooks; exported by QtCore for debugging tools.
extern quintptr Q_CORE_EXPORT qtHookData[];

namespace kl::telemetry::test {

IsolatedEnvironment::IsolatedEnvironment()
{
    QDir root(m_root.path());
    root.mkpath(QStringLiteral("cache"));
    root.mkpath(QStringLiteral("tmp"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cacheHome()));
    qputenv("TMPDIR", QFile::encodeName(tempPath()));
}

IsolatedEnvironment::~IsolatedEnvironment()
{
    removeIpcObjects(tempPath());
}

QString IsolatedEnvironment::cacheHome() const
{
    return m_root.filePath(QStringLiteral("cache"));
}

QString IsolatedEnvironment::tempPath() const
{
    return m_root.filePath(QStringLiteral("tmp"));
}

namespace {

MessageCapture *s_capture = nullptr;

enum HookIndex { QtVersionHook = 2, AddQObjectHook = 3, RemoveQObjectHook = 4 };
thread_local bool t_tracking = false;
QBasicMutex s_trackedMutex;
QSet<QObject *> s_tracked;

void objectAdded(QObject *object)
{
    if (!t_tracking)
        return;
    QMutexLocker locker(&s_trackedMutex);
    s_tracked.insert(object);
}

void objectRemoved(QObject *object)
{
    QMutexLocker locker(&s_trackedMutex);
    s_tracked.remove(object);
}

} // namespace

ObjectTracker::ObjectTracker()
{
    QVERIFY(qtHookData[QtVersionHook] == quintptr(QT_VERSION));
    qtHookData[AddQObjectHook] = reinterpret_cast<quintptr>(&objectAdded);
    qtHookData[RemoveQObjectHook] = reinterpret_cast<quintptr>(&objectRemoved);
}

ObjectTracker::~ObjectTracker()
{
    qtHookData[AddQObjectHook] = 0;
    qtHookData[RemoveQObjectHook] = 0;
    QMutexLocker locker(&s_trackedMutex);
    s_tracked.clear();
}

void ObjectTracker::track(const std::function<void()> &code)
{
    t_tracking = true;
    code();
    t_tracking = false;
}

int ObjectTracker::alive() const
{
    QMutexLocker locker(&s_trackedMutex);
    return s_tracked.size();
}

MessageCapture::MessageCapture()
{
    s_capture = this;
    m_previous = qInstallMessageHandler(&MessageCapture::handler);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(m_previous);
    s_capture = nullptr;
}

void MessageCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (qstrcmp(context.category, "korvel.telemetry") != 0) {
        s_capture->m_previous(type, context, text);
        return;
    }
    QMutexLocker locker(&s_capture->m_mutex);
    s_capture->m_messages.append({ type, text });
}

int MessageCapture::count(QtMsgType type, const QString &text) const
{
    QMutexLocker locker(&m_mutex);
    return int(std::count(m_messages.cbegin(), m_messages.cend(), qMakePair(type, text)));
}

QStringList MessageCapture::all() const
{
    static const char *const levels[] = { "debug", "warning", "critical", "fatal", "info" };
    QMutexLocker locker(&m_mutex);
    QStringList lines;
    for (const auto &message : m_messages)
        lines << QString::fromLatin1(levels[message.first]) + QLatin1String(": ") + message.second;
    return lines;
}

void MessageCapture::clear()
{
    QMutexLocker locker(&m_mutex);
    m_messages.clear();
}

std::unique_ptr<QProcess> startHelper(const QStringList &arguments)
{
    auto helper = std::make_unique<QProcess>();
    helper->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    helper->start(QStringLiteral(KORVEL_HELPER_PATH), arguments);
    return helper;
}

namespace {
const QString kCacheConnectionName = QStringLiteral("other-cache-connection");
}

CacheConnection::CacheConnection()
    : m_db(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kCacheConnectionName))
{
    m_db.setDatabaseName(getCacheDataBaseLocation());
    m_db.open();
}

CacheConnection::~CacheConnection()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(kCacheConnectionName);
}

bool CacheConnection::exec(const QString &statement)
{
    QSqlQuery query(m_db);
    if (query.exec(statement))
        return true;
    qWarning() << statement << query.lastError();
    return false;
}

HttpAnswer httpRequest(const QByteArray &verb, const QString &url, const QByteArray &body)
{
    QNetworkAccessManager manager;
    const QUrl target(url);
    QNetworkRequest request(target);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    if (!target.userName().isEmpty()) // the server would not ask for them
        request.setRawHeader("Authorization", "Basic " + target.userInfo().toUtf8().toBase64());
    std::unique_ptr<QNetworkReply> reply(manager.sendCustomRequest(request, verb, body));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!finished.wait(10000))
        return {};
    return { reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll() };
}

QString couchDbUrl()
{
    QString url = qEnvironmentVariable("KORVEL_COUCHDB_URL");
    if (url.isEmpty()) {
        QFile file(QStringLiteral(KORVEL_COUCHDB_URL_FILE));
        if (file.open(QIODevice::ReadOnly))
            url = QString::fromUtf8(file.readAll().trimmed());
    }
    while (url.endsWith(QLatin1Char('/')))
        url.chop(1);
    return url;
}

QHash<QString, QJsonObject> couchDbDocuments(const QString &server, const QString &database)
{
    const HttpAnswer answer = httpRequest("GET",
                                          server + QLatin1Char('/') + database
                                              + QLatin1String("/_all_docs?include_docs=true"));
    QHash<QString, QJsonObject> documents;
    const QJsonArray rows
        = QJsonDocument::fromJson(answer.body).object().value(QLatin1String("rows")).toArray();
    for (const QJsonValue &row : rows) {
        const QJsonObject document = row.toObject().value(QLatin1String("doc")).toObject();
        documents.insert(document.value(QLatin1String("_id")).toString(), document);
    }
    return documents;
}

QByteArray runHelper(const QStringList &arguments, int timeoutMs)
{
    auto helper = startHelper(arguments);
    if (!helper->waitForFinished(timeoutMs) || helper->exitStatus() != QProcess::NormalExit)
        return {};
    return helper->readAll().trimmed();
}

QByteArray readHelperLine(QProcess &helper, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!helper.canReadLine() && !deadline.hasExpired()) {
        if (!helper.waitForReadyRead(int(deadline.remainingTime()))
            && helper.state() != QProcess::Running)
            break;
    }
    return helper.readLine().trimmed();
}

} // namespace kl::telemetry::test
