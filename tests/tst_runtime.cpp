#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleton.h"

#include "testsupport.h"

#include <QRegularExpression>
#include <QSet>
#include <QThreadPool>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

namespace {

struct SlowToBuild
{
    SlowToBuild()
    {
        constructions.fetchAndAddRelaxed(1);
        QThread::msleep(50);
    }
    static QAtomicInt constructions;
};
QAtomicInt SlowToBuild::constructions;

} // namespace

class TestRuntime : public QObject
{
    Q_OBJECT

private slots:
    void constantsAreExported();
    void uniqueIds();
    void cacheLocation();
    void cacheLocationIsSharedByProcesses();
    void singletonFromManyThreads();
    void dispatchFromPoolThread();
    void dispatchToFinishedThreadDropsCallable();
    void dispatchWithZeroDelayDefers();
};

void TestRuntime::constantsAreExported()
{
    QCOMPARE(kDbFileName, "korvel.db");
    QCOMPARE(kCacheDirectoryName, "KorvelTelemetry");
    QCOMPARE(kDbLockName, "korvel.telemetry.lock.db");
    QCOMPARE(kMainLockName, "korvel.telemetry.lock.global");
    QCOMPARE(DataTransferFrequency, 10000);
    QCOMPARE(lcTelemetry().categoryName(), "korvel.telemetry");
    QVERIFY(!lcTelemetry().isDebugEnabled());
    QVERIFY(lcTelemetry().isInfoEnabled());
}

void TestRuntime::uniqueIds()
{
    // About one id in 32 encodes to a leading "-" or "_", so this many exercise the repair.
    constexpr int count = 20000;
    const QRegularExpression shape(
        QStringLiteral("^[A-Za-z0-9][A-Za-z0-9_-]{7}[QRST][A-Za-z0-9_-]{7}$"));
    QSet<QString> seen;
    for (int i = 0; i < count; ++i) {
        const QString id = generateUniqueId();
        QVERIFY2(shape.match(id).hasMatch(), qPrintable(id));
        seen.insert(id);
    }
    QCOMPARE(seen.size(), count);
}

void TestRuntime::cacheLocation()
{
    const QString expected
        = qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/KorvelTelemetry/korvel.db");
    QCOMPARE(getCacheDataBaseLocation(), expected);
    QVERIFY(QFileInfo(expected).dir().exists());
}

void TestRuntime::cacheLocationIsSharedByProcesses()
{
    QCOMPARE(QString::fromLocal8Bit(runHelper({ QStringLiteral("location") })),
             getCacheDataBaseLocation());
}

void TestRuntime::singletonFromManyThreads()
{
    QVector<SlowToBuild *> seen(8);
    QVector<QThread *> threads;
    for (int i = 0; i < seen.size(); ++i)
        threads << QThread::create([&seen, i] { seen[i] = Singleton<SlowToBuild>::getInstance(); });
    for (QThread *thread : threads)
        thread->start();
    for (QThread *thread : threads) {
        QVERIFY(thread->wait(5000));
        delete thread;
    }
    QCOMPARE(SlowToBuild::constructions.loadRelaxed(), 1);
    QCOMPARE(seen.count(seen.first()), seen.size());
}

void TestRuntime::dispatchFromPoolThread()
{
    constexpr int delay = 200;
    QThread *mainThread = QThread::currentThread();
    QThread *ranOn = nullptr;
    qint64 ranAfter = -1;
    QElapsedTimer clock;
    ObjectTracker tracker;

    auto dispatch = [&] {
        tracker.track([&] {
            clock.start();
            dispatchToThread(mainThread, delay, [&] {
                ranOn = QThread::currentThread();
                ranAfter = clock.elapsed();
            });
        });
    };
    QThreadPool::globalInstance()->start(new Task<decltype(dispatch)>(dispatch));

    QTRY_COMPARE(tracker.alive(), 1); // the timer, waiting on the main thread
    QTRY_VERIFY(ranOn != nullptr);
    QCOMPARE(ranOn, mainThread);
    QVERIFY2(ranAfter >= delay, qPrintable(QString::number(ranAfter)));
    // The timer is gone once the main loop has run its deletions.
    QTRY_COMPARE(tracker.alive(), 0);
}

void TestRuntime::dispatchToFinishedThreadDropsCallable()
{
    QThread finished;
    finished.start();
    finished.quit();
    QVERIFY(finished.wait());

    auto witness = std::make_shared<int>(0);
    ObjectTracker tracker;
    tracker.track([&] { dispatchToThread(&finished, 0, [witness] { ++*witness; }); });
    QCOMPARE(witness.use_count(), 1L);
    QCOMPARE(tracker.alive(), 0);
}

void TestRuntime::dispatchWithZeroDelayDefers()
{
    bool ran = false;
    dispatchToThread(QThread::currentThread(), 0, [&ran] { ran = true; });
    QVERIFY(!ran);
    QTRY_VERIFY(ran);
}

KORVEL_TEST_MAIN(TestRuntime)
#include "tst_runtime.moc"
