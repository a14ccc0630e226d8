#include "testsupport.h"

#include "telemetry/publishing/publisher.h"
#include "telemetry/runtime/runtime.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kl::telemetry::test {

IsolatedEnvironment::IsolatedEnvironment()
{
    QDir(m_root.path()).mkpath(QStringLiteral("tmp"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_root.path()));
    qputenv("TMPDIR", QFile::encodeName(tempPath()));
}

QStringList testArguments(const QStringList &commandLine)
{
    const QString only = qEnvironmentVariable("KORVEL_TEST_ONLY");
    return only.isEmpty() ? commandLine : commandLine + QStringList(only);
}

void requireSqliteDriverVersion()
{
    const QString expected = qEnvironmentVariable("KORVEL_TEST_SQLITE_VERSION");
    if (expected.isEmpty())
        return;
    QString version;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "version");
        db.setDatabaseName(":memory:");
        QSqlQuery query(db.open() ? db : QSqlDatabase());
        if (query.exec("SELECT sqlite_version()") && query.next())
            version = query.value(0).toString();
    }
    QSqlDatabase::removeDatabase("version");
    if (version != expected)
        qFatal("Qt's SQLite driver runs SQLite %s, not %s", qPrintable(version),
               qPrintable(expected));
}

LockWitness::LockWitness(bool initialise)
{
    const QByteArray path = QFile::encodeName(QDir::tempPath() + QLatin1String("/lock-witness"));
    const int fd = open(path.constData(), O_RDWR | O_CREAT, 0600);
    if (fd == -1 || ftruncate(fd, sizeof(pthread_mutex_t)) != 0)
        return;
    void *memory
        = mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (memory == MAP_FAILED)
        return;
    m_mutex = static_cast<pthread_mutex_t *>(memory);
    if (initialise) {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(m_mutex, &attributes);
    }
}

bool LockWitness::enter()
{
    switch (pthread_mutex_trylock(m_mutex)) {
    case 0:
        return true;
    case EOWNERDEAD: // a holder was killed; the lock has moved on to us
        pthread_mutex_consistent(m_mutex);
        return true;
    default:
        return false;
    }
}

void LockWitness::leave()
{
    pthread_mutex_unlock(m_mutex);
}

namespace {

MessageCapture *s_capture = nullptr;

} // namespace

QString messageLine(QtMsgType type, const QString &text)
{
    static const char *const levels[] = { "debug", "warning", "critical", "fatal", "info" };
    return QLatin1String(levels[type]) + QLatin1String(": ") + text;
}

MessageCapture::MessageCapture()
    : m_previous(qInstallMessageHandler(&MessageCapture::handler))
{
    s_capture = this;
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(m_previous);
    s_capture = nullptr;
}

void MessageCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (qstrcmp(context.category, "korvel.telemetry") != 0)
        return s_capture->m_previous(type, context, text);
    QMutexLocker locker(&s_capture->m_mutex);
    s_capture->m_messages.append(messageLine(type, text));
}

QStringList MessageCapture::all() const
{
    QMutexLocker locker(&m_mutex);
    return m_messages;
}

void MessageCapture::clear()
{
    QMutexLocker locker(&m_mutex);
    m_messages.clear();
}

CacheConnection::CacheConnection()
    : m_db(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other")))
{
    m_db.setDatabaseName(getCacheDataBaseLocation());
    m_db.open();
}

CacheConnection::~CacheConnection()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("other"));
}

bool CacheConnection::exec(const QString &statement)
{
    QSqlQuery query(m_db);
    if (query.exec(statement))
        return true;
    qWarning() << statement << query.lastError();
    return false;
}

void parkPublisherChain()
{
    Publisher *publisher = currentPublisher();
    std::unique_ptr<QThread> thread(QThread::create([publisher] { publisher->initialize(); }));
    thread->start();
    thread->wait();
}

void readInputLines(QObject *context, std::function<void(const QByteArray &)> onLine,
                    std::function<void()> onEnd)
{
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context,
                     [notifier, onLine, onEnd, pending = QByteArray()]() mutable {
                         char buffer[256];
                         const ssize_t size = ::read(STDIN_FILENO, buffer, sizeof buffer);
                         if (size <= 0) {
                             notifier->setEnabled(false);
                             onEnd();
                             return;
                         }
                         pending.append(buffer, int(size));
                         for (int end; (end = pending.indexOf('\n')) != -1;) {
                             const QByteArray line = pending.left(end);
                             pending.remove(0, end + 1);
                             onLine(line);
                         }
                     });
}

namespace {

// Whether users other than the owner (and root) can open @p path: a build in a private folder,
// such as /root or one of mktemp -d, is out of their reach.
bool reachableByOthers(const QString &path)
{
    QFileInfo info(QFileInfo(path).canonicalFilePath());
    if (!(info.permissions() & QFileDevice::ReadOther))
        return false;
    for (QDir folder = info.dir(); !folder.isRoot(); folder.cdUp()) {
        if (!(QFile::permissions(folder.path()) & QFileDevice::ExeOther))
            return false;
    }
    return true;
}

} // namespace

QString helperForOtherUsers(const QString &folder)
{
    QProcess ldd;
    ldd.start(QStringLiteral("ldd"), { KORVEL_HELPER_PATH });
    if (!ldd.waitForFinished() || ldd.exitStatus() != QProcess::NormalExit || ldd.exitCode() != 0)
        return {};
    QMap<QString, QString> copies { { QStringLiteral("korvelhelper"), KORVEL_HELPER_PATH } };
    const QRegularExpression loaded(QStringLiteral("^\\s*(\\S+) => (\\S+)"),
                                    QRegularExpression::MultilineOption);
    for (auto it = loaded.globalMatch(QString::fromLocal8Bit(ldd.readAllStandardOutput()));
         it.hasNext();) {
        const QRegularExpressionMatch library = it.next();
        if (!reachableByOthers(library.captured(2)))
            copies.insert(library.captured(1), library.captured(2));
    }
    const auto everyone = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
        | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
        | QFileDevice::ExeOther;
    if (!QFile::setPermissions(folder, everyone))
        return {};
    for (auto it = copies.cbegin(); it != copies.cend(); ++it) {
        const QString copy = folder + '/' + it.key();
        if (!QFile::copy(it.value(), copy) || !QFile::setPermissions(copy, everyone)
            || !reachableByOthers(copy))
            return {};
    }
    return folder + QStringLiteral("/korvelhelper");
}

OtherUser::OtherUser(const QString &name)
    : m_name(name)
    , m_exists(QProcess::execute(QStringLiteral("useradd"), { QStringLiteral("-M"), name }) == 0)
{
}

OtherUser::~OtherUser()
{
    if (m_exists)
        QProcess::execute(QStringLiteral("userdel"), { m_name });
}

QStringList OtherUser::commandAs(const QString &user, const QStringList &environment,
                                 const QString &libraries, const QStringList &command)
{
    return QStringList { "--reuid=" + user, "--regid=" + user, "--init-groups", "env" }
    + environment + QStringList { "LD_LIBRARY_PATH=" + libraries } + command;
}

std::unique_ptr<QProcess> startHelper(const QStringList &arguments, const QString &program)
{
    auto helper = std::make_unique<QProcess>();
    helper->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    helper->start(program, arguments);
    return helper;
}

QByteArray runHelper(const QStringList &arguments, const QString &program)
{
    auto helper = startHelper(arguments, program);
    helper->closeWriteChannel();
    if (!helper->waitForFinished(30000) || helper->exitStatus() != QProcess::NormalExit
        || helper->exitCode() != 0)
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

std::unique_ptr<CouchDBBucket> makeBucket(const QString &server, const QString &database)
{
    auto bucket = std::make_unique<CouchDBBucket>();
    bucket->setServer(QUrl(server));
    bucket->setDatabase(database);
    return bucket;
}

int registerDestination(const QString &server, const QString &database, Backends *registry)
{
    const auto bucket = makeBucket(server, database);
    return registry->getStorageID(bucket->storageBackend(), bucket->storageLocationInfo());
}

QString couchDbServer(const QStringList &arguments, const QString &directory)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Relative paths, as a person at a shell gives them.
    script.setWorkingDirectory(directory);
    script.start(QStringLiteral(KORVEL_SOURCE_DIR "/scripts/couchdb-server"),
                 arguments + QStringList { "--state", "couchdb-state", "--dir", "couchdb-data" });
    const bool ran = script.waitForFinished(120000) && script.exitStatus() == QProcess::NormalExit
        && script.exitCode() == 0;
    return ran ? QString::fromUtf8(script.readAllStandardOutput().trimmed()) : QString();
}

QString couchDbUrl()
{
    QFile file(QStringLiteral(KORVEL_COUCHDB_URL_FILE));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll().trimmed()) : QString();
}

QString createDatabase(const QString &server, const QString &name)
{
    // One arg() call: a name may hold "%2", as an encoded "/" does.
    const QString database
        = QStringLiteral("%1-%2").arg(name, QString::number(QDateTime::currentMSecsSinceEpoch()));
    return httpRequest("PUT", server + QLatin1Char('/') + database).status == 201 ? database
                                                                                  : QString();
}

QHash<QString, QJsonObject> couchDbDocuments(const QString &server, const QString &database)
{
    const QString url = server + QLatin1Char('/') + database + "/_all_docs?include_docs=true";
    const QJsonArray rows
        = QJsonDocument::fromJson(httpRequest("GET", url).body).object().value("rows").toArray();
    QHash<QString, QJsonObject> documents;
    for (const QJsonValue &row : rows) {
        const QJsonObject document = row.toObject().value(QLatin1String("doc")).toObject();
        documents.insert(document.value(QLatin1String("_id")).toString(), document);
    }
    return documents;
}

} // namespace kl::telemetry::test
