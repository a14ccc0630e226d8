#pragma once

#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/registry/backends.h"
#include "telemetry/runtime/runtime.h"

// The suites use most of these modules.
#include <QtNetwork>
#include <QtSql>
#include <QtTest>

#include <pthread.h>

namespace kl::telemetry::test {

// The machine-wide lock of every flush and upload, by the name SingleExecutor takes.
inline const QString kMainLock = QString::fromLatin1(kMainLockName);

// Points XDG_CACHE_HOME and TMPDIR at a fresh temporary directory for the life of the test
// process, so that its cache file, the lock files beside it and its temporary files are its
// own, and helper processes inherit the same.
class IsolatedEnvironment
{
public:
    IsolatedEnvironment();
    QString tempPath() const { return m_root.filePath(QStringLiteral("tmp")); }

private:
    Q_DISABLE_COPY(IsolatedEnvironment)
    QTemporaryDir m_root;
};

// Stops the test when KORVEL_TEST_SQLITE_VERSION names a version that Qt's SQLite driver does
// not run: a suite meant for a driver with its own SQLite proves nothing on the system's.
void requireSqliteDriverVersion();

// "<level>: <text>", as the tests compare messages.
QString messageLine(QtMsgType type, const QString &text);

// Captures, from every thread, the messages of the library's logging category while it lives;
// messages of other categories go on to the previous handler.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    // Every captured message, as "<level>: <text>".
    QStringList all() const;
    void clear();

private:
    Q_DISABLE_COPY(MessageCapture)
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);
    mutable QMutex m_mutex;
    QStringList m_messages;
    QtMessageHandler m_previous;
};

// A connection of its own to the cache database, as another SQLite client would have.
class CacheConnection
{
public:
    CacheConnection();
    ~CacheConnection();
    // Runs @p statement; false, with the error logged, when it fails.
    bool exec(const QString &statement);
    QSqlDatabase database() const { return m_db; }

private:
    Q_DISABLE_COPY(CacheConnection)
    QSqlDatabase m_db;
};

// A process-shared robust mutex in a file of the temp directory, which a process enters while it
// holds a machine-wide lock. The kernel frees it when its holder dies, before it closes the
// dying process's files and so its lock, so finding it taken means that two live processes hold
// the lock at once.
class LockWitness
{
public:
    // Maps the witness of the temp directory; @p initialise makes it anew, once, before any
    // process uses it.
    explicit LockWitness(bool initialise = false);
    bool isValid() const { return m_mutex != nullptr; }
    // For a holder of the lock: false when another live process is inside.
    bool enter();
    void leave();

private:
    Q_DISABLE_COPY(LockWitness)
    pthread_mutex_t *m_mutex = nullptr;
};

// For the processes that tests start, makes the publisher's own chain of attempts never run:
// the chain belongs to the thread of the first initialize(), and a thread that has finished
// gets none. Attempts then happen only where the process calls doPublishImpl() itself. The
// publisher is made on the calling thread, which is where its upload completions are delivered.
void parkPublisherChain();
// Calls @p onLine with each line that arrives on stdin, and @p onEnd once stdin closes.
void readInputLines(QObject *context, std::function<void(const QByteArray &)> onLine,
                    std::function<void()> onEnd);

// Starts the helper executable, or @p program, with @p arguments; its channels stay open for
// the test, its errors go to the test's.
std::unique_ptr<QProcess> startHelper(const QStringList &arguments,
                                      const QString &program = QStringLiteral(KORVEL_HELPER_PATH));
// Runs the helper, or @p program, its input closed, to its end and returns what it printed,
// trimmed; empty when it crashed, took over 30 s or exited with a code other than 0.
QByteArray runHelper(const QStringList &arguments,
                     const QString &program = QStringLiteral(KORVEL_HELPER_PATH));
// Reads one line the helper printed, waiting up to @p timeoutMs; empty on time-out.
QByteArray readHelperLine(QProcess &helper, int timeoutMs = 10000);

// A user of its own, made with useradd for the life of the object, for the tests that show
// what another user of the machine can do; they run as root.
class OtherUser
{
public:
    explicit OtherUser(const QString &name);
    ~OtherUser();
    bool exists() const { return m_exists; }
    QString name() const { return m_name; }
    // The arguments of setpriv that run @p command as @p user with @p environment added, its
    // libraries looked for in @p libraries first.
    static QStringList commandAs(const QString &user, const QStringList &environment,
                                 const QString &libraries, const QStringList &command);

private:
    Q_DISABLE_COPY(OtherUser)
    QString m_name;
    bool m_exists = false;
};
// Copies the helper into @p folder with the libraries it loads from places other users cannot
// reach, under the names the loader looks for, which LD_LIBRARY_PATH=folder makes it find first.
// Returns the copy's path; empty when ldd cannot say what it loads, or a copy failed.
QString helperForOtherUsers(const QString &folder);

// An HTTP answer, waited for (10 s at most); status 0 when none came. The URL's user info goes
// out as Basic credentials.
struct HttpAnswer
{
    int status = 0;
    QByteArray body;
};
HttpAnswer httpRequest(const QByteArray &verb, const QString &url, const QByteArray &body = {});

// A bucket of @p server and @p database.
std::unique_ptr<CouchDBBucket> makeBucket(const QString &server, const QString &database);
// The storage ID of that destination in @p registry; -1 when it has none.
int registerDestination(const QString &server, const QString &database,
                        Backends *registry = currentBackends());

// Runs scripts/couchdb-server with @p arguments for a server kept on disk in @p directory, so
// that a restart keeps the data; the script gets its folders there as relative paths. Returns
// what it printed ("start" prints the URL), empty when it failed.
QString couchDbServer(const QStringList &arguments, const QString &directory);
// The URL of the CouchDB-compatible server that the test fixture started, without a trailing
// slash; empty when there is none.
QString couchDbUrl();
// Creates a database named @p name and a time stamp on @p server; returns its name, or an
// empty one when that failed.
QString createDatabase(const QString &server, const QString &name);
// The documents of @p database, as _all_docs?include_docs=true lists them, keyed by "_id".
QHash<QString, QJsonObject> couchDbDocuments(const QString &server, const QString &database);
// The command line, and the one test function (with its data tag, "function:tag") that
// KORVEL_TEST_ONLY names: scripts/mutations runs one function of a suite under ctest so, its
// fixtures with it.
QStringList testArguments(const QStringList &commandLine);

} // namespace kl::telemetry::test

#define KORVEL_TEST_MAIN(TestObject) KORVEL_TEST_MAIN_APP(TestObject, QCoreApplication)
#define KORVEL_TEST_MAIN_APP(TestObject, Application) \
    int main(int argc, char **argv) \
    { \
        kl::telemetry::test::IsolatedEnvironment environment; \
        Application app(argc, argv); \
        kl::telemetry::test::requireSqliteDriverVersion(); \
        TestObject testObject; \
        QTEST_SET_MAIN_SOURCE_PATH \
        return QTest::qExec(&testObject, kl::telemetry::test::testArguments(app.arguments())); \
    }
