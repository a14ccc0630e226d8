#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include "testsupport.h"

#include <QRandomGenerator>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

namespace {

// Long enough on a 2-core machine to see many kills land inside every step of the protocol;
// KORVEL_LOCK_STRESS_SECONDS makes a longer run by hand.
int stressSeconds()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("KORVEL_LOCK_STRESS_SECONDS", &ok);
    return ok ? seconds : 30;
}

constexpr int kProcesses = 4;
// A process that made no progress for this long is stuck on the lock.
constexpr int kWedgeTimeoutMs = 30000;

} // namespace

class TestLockStress : public QObject
{
    Q_OBJECT

private slots:
    void processesComingAndGoingNeitherWedgeNorShareTheLock();
};

void TestLockStress::processesComingAndGoingNeitherWedgeNorShareTheLock()
{
    const QString name = QString::fromLatin1(kMainLockName);
    auto *random = QRandomGenerator::global();
    std::vector<std::unique_ptr<QProcess>> running;
    int finished = 0;
    int killed = 0;

    auto init = startHelper({ QStringLiteral("witness-init") });
    QVERIFY(init->waitForFinished());
    QCOMPARE(init->exitCode(), 0);

    QElapsedTimer clock;
    clock.start();
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    while (clock.elapsed() < stressSeconds() * 1000) {
        while (running.size() < kProcesses) {
            const QString count = QString::number(random->bounded(50, 3000));
            running.push_back(startHelper({ QStringLiteral("churn"), name, count }));
        }
        QTest::qWait(random->bounded(5, 150));

        auto victim = running.begin() + random->bounded(int(running.size()));
        if ((*victim)->state() == QProcess::Running && random->bounded(3) != 0) {
            (*victim)->kill();
            (*victim)->waitForFinished();
            ++killed;
            running.erase(victim);
        }
        for (auto it = running.begin(); it != running.end();) {
            if ((*it)->state() != QProcess::NotRunning) {
                ++it;
                continue;
            }
            QCOMPARE((*it)->exitStatus(), QProcess::NormalExit);
            QCOMPARE((*it)->readAll().trimmed(), QByteArray("done"));
            ++finished;
            sinceProgress.restart();
            it = running.erase(it);
        }
        QVERIFY2(sinceProgress.elapsed() < kWedgeTimeoutMs,
                 qPrintable(QStringLiteral("no process got through for %1 ms: the lock is wedged")
                                .arg(sinceProgress.elapsed())));
    }

    for (auto &process : running) {
        QVERIFY2(process->waitForFinished(kWedgeTimeoutMs), "a process hung on the lock");
        QCOMPARE(process->readAll().trimmed(), QByteArray("done"));
        ++finished;
    }
    qInfo("%d processes finished, %d killed", finished, killed);
    QVERIFY(finished > 0);
    QVERIFY(killed > 0);

    // Whatever the kills left behind, the next comers take the lock at once.
    auto holder = startHelper({ QStringLiteral("hold"), name });
    QCOMPARE(readHelperLine(*holder, 5000), QByteArray("held"));
    holder->closeWriteChannel();
    QVERIFY(holder->waitForFinished(5000));
    SingleExecutor executor(name);
    QVERIFY(executor.tryToRun());
}

KORVEL_TEST_MAIN(TestLockStress)
#include "tst_lockstress.moc"
