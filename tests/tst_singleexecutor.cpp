#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include "testsupport.h"

using namespace kl::telemetry;
using namespace kl::telemetry::test;

class TestSingleExecutor : public QObject
{
    Q_OBJECT

private slots:
    void keyHash_data();
    void keyHash();
    void twoInstancesExcludeEachOther();
    void secondTryToRunGivesTheLockUp();
    void differentNamesNeverExclude();
    void releaseOnFreeInstanceChangesNothing();
    void swapMovesTheHold();
    void helperHoldsLock();
    void helperSeesOurLock();
    void killedHolderLeavesNoLock();
    void keyIsSharedWithPlainQtUsers();

private:
    const QString m_mainLock = QString::fromLatin1(kMainLockName);
};

void TestSingleExecutor::keyHash_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("digest");

    // Reference digests from an independent SHA-1 implementation (Python's hashlib).
    QTest::addRow("abc split after b") << "ab"
                                       << "c"
                                       << "a9993e364706816aba3e25717850c26c9cd0d89d";
    QTest::addRow("abc split after a") << "a"
                                       << "bc"
                                       << "a9993e364706816aba3e25717850c26c9cd0d89d";
    QTest::addRow("empty") << ""
                           << ""
                           << "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    QTest::addRow("main lock semaphore") << "korvel.telemetry.lock.global"
                                         << "_memLockKey"
                                         << "3f8b57975dab96a19664099f8e14c044f9c7fa34";
    QTest::addRow("utf-8") << QStringLiteral("l\u00e5s") << "_sharedmemKey"
                           << "c8c0776f1e252bdb5830d9f3bfaeaff5142f6cce";
}

void TestSingleExecutor::keyHash()
{
    QFETCH(QString, key);
    QFETCH(QString, suffix);
    QFETCH(QString, digest);
    QCOMPARE(generateKeyHash(key, suffix), digest);
}

void TestSingleExecutor::twoInstancesExcludeEachOther()
{
    auto first = std::make_unique<SingleExecutor>(m_mainLock);
    SingleExecutor second(m_mainLock);

    QVERIFY(first->tryToRun());
    QVERIFY(!first->isAnotherRunning());
    QVERIFY(second.isAnotherRunning());
    QVERIFY(!second.tryToRun());

    first.reset();
    QVERIFY(!second.isAnotherRunning());
    QVERIFY(second.tryToRun());
}

void TestSingleExecutor::secondTryToRunGivesTheLockUp()
{
    SingleExecutor holder(m_mainLock);
    QVERIFY(holder.tryToRun());
    QVERIFY(!holder.tryToRun());

    SingleExecutor third(m_mainLock);
    QVERIFY(!third.isAnotherRunning());
    QVERIFY(third.tryToRun());
}

void TestSingleExecutor::differentNamesNeverExclude()
{
    SingleExecutor main(m_mainLock);
    SingleExecutor db(QString::fromLatin1(kDbLockName));
    QVERIFY(main.tryToRun());
    QVERIFY(!db.isAnotherRunning());
    QVERIFY(db.tryToRun());
    QVERIFY(!SingleExecutor(m_mainLock).tryToRun());
    QVERIFY(!SingleExecutor(QString::fromLatin1(kDbLockName)).tryToRun());
}

void TestSingleExecutor::releaseOnFreeInstanceChangesNothing()
{
    SingleExecutor holder(m_mainLock);
    QVERIFY(holder.tryToRun());
    {
        SingleExecutor idle(m_mainLock);
        idle.release();
    }
    QVERIFY(SingleExecutor(m_mainLock).isAnotherRunning());
    holder.release();
    QVERIFY(!SingleExecutor(m_mainLock).isAnotherRunning());
}

void TestSingleExecutor::swapMovesTheHold()
{
    SingleExecutor holder(m_mainLock);
    auto other = std::make_unique<SingleExecutor>(QStringLiteral("other"));
    QVERIFY(holder.tryToRun());
    holder.swap(*other);

    // `other` now holds the main lock; `holder` is a free executor for "other".
    QVERIFY(!other->isAnotherRunning());
    QVERIFY(holder.tryToRun());
    other.reset();
    QVERIFY(SingleExecutor(m_mainLock).tryToRun());
}

void TestSingleExecutor::helperHoldsLock()
{
    auto helper = startHelper({ QStringLiteral("hold"), m_mainLock });
    QCOMPARE(readHelperLine(*helper), QByteArray("held"));

    SingleExecutor executor(m_mainLock);
    QVERIFY(executor.isAnotherRunning());
    QVERIFY(!executor.tryToRun());

    helper->closeWriteChannel();
    QVERIFY(helper->waitForFinished());
    QCOMPARE(helper->exitCode(), 0);
    QVERIFY(executor.tryToRun());
}

void TestSingleExecutor::helperSeesOurLock()
{
    SingleExecutor executor(m_mainLock);
    QVERIFY(executor.tryToRun());

    QCOMPARE(runHelper({ QStringLiteral("probe"), m_mainLock }), QByteArray("another"));
    auto taker = startHelper({ QStringLiteral("hold"), m_mainLock });
    QCOMPARE(readHelperLine(*taker), QByteArray("busy"));
    taker->closeWriteChannel();
    QVERIFY(taker->waitForFinished());

    executor.release();
    QCOMPARE(runHelper({ QStringLiteral("probe"), m_mainLock }), QByteArray("free"));
}

void TestSingleExecutor::killedHolderLeavesNoLock()
{
    auto helper = startHelper({ QStringLiteral("hold"), m_mainLock });
    QCOMPARE(readHelperLine(*helper), QByteArray("held"));
    helper->kill();
    QVERIFY(helper->waitForFinished());

    // The dead holder's segment survives it; constructing an executor must clear it.
    SingleExecutor next(m_mainLock);
    QVERIFY(!next.isAnotherRunning());
    QVERIFY(next.tryToRun());
}

void TestSingleExecutor::keyIsSharedWithPlainQtUsers()
{
    // Other builds of the library meet the lock through Qt's ordinary key derivation.
    SingleExecutor executor(m_mainLock);
    QVERIFY(executor.tryToRun());
    QSharedMemory segment(generateKeyHash(m_mainLock, QStringLiteral("_sharedmemKey")));
    QVERIFY(segment.attach());
    QCOMPARE(segment.size(), 8);
    segment.detach();
}

KORVEL_TEST_MAIN(TestSingleExecutor)
#include "tst_singleexecutor.moc"
