#include "telemetry/runtime/raiitransaction.h"

#include "testsupport.h"

#include <QSqlError>
#include <QSqlQuery>

using namespace kl::telemetry;

#define QVERIFY_SQL(q, op) QVERIFY2((q).op, qPrintable((q).lastError().text()))

class TestRaiiTransaction : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void commitsOnlyWhenMarked_data();
    void commitsOnlyWhenMarked();
    void failedOpenRollsBackHarmlessly();
    void failedCommitIsRolledBack();

private:
    int rowCount(const QString &table);

    QTemporaryDir m_dir;
    QSqlDatabase m_db;
};

void TestRaiiTransaction::init()
{
    m_db = QSqlDatabase::addDatabase("QSQLITE");
    m_db.setDatabaseName(m_dir.filePath(
        QString("%1-%2.db").arg(QTest::currentTestFunction(), QTest::currentDataTag())));
    QVERIFY(m_db.open());
    QSqlQuery query(m_db);
    QVERIFY_SQL(query, exec("CREATE TABLE t(v INTEGER)"));
}

void TestRaiiTransaction::cleanup()
{
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
}

int TestRaiiTransaction::rowCount(const QString &table)
{
    // A second connection sees only what was committed to the file.
    QSqlDatabase reader = QSqlDatabase::addDatabase("QSQLITE", "reader");
    reader.setDatabaseName(m_db.databaseName());
    int count = -1;
    if (reader.open()) {
        QSqlQuery query(QString("SELECT COUNT(*) FROM %1").arg(table), reader);
        if (query.next())
            count = query.value(0).toInt();
    }
    reader = QSqlDatabase();
    QSqlDatabase::removeDatabase("reader");
    return count;
}

void TestRaiiTransaction::commitsOnlyWhenMarked_data()
{
    QTest::addColumn<bool>("marked");
    QTest::addColumn<int>("rows");
    QTest::addRow("unmarked rolls back") << false << 0;
    QTest::addRow("marked commits") << true << 2;
}

void TestRaiiTransaction::commitsOnlyWhenMarked()
{
    QFETCH(bool, marked);
    QFETCH(int, rows);
    {
        RaiiTransaction transaction(m_db);
        QVERIFY(transaction.open());
        QSqlQuery query(m_db);
        QVERIFY_SQL(query, exec("INSERT INTO t VALUES (1), (2)"));
        if (marked)
            transaction.markSuccessfull();
        QCOMPARE(rowCount("t"), 0);
    }
    QCOMPARE(rowCount("t"), rows);
    // The connection is out of the transaction either way.
    QVERIFY(m_db.transaction());
    QVERIFY(m_db.rollback());
}

void TestRaiiTransaction::failedOpenRollsBackHarmlessly()
{
    m_db.close();
    {
        RaiiTransaction transaction(m_db);
        QVERIFY(!transaction.open());
        transaction.markSuccessfull();
    }
    QVERIFY(m_db.open());
    QCOMPARE(rowCount("t"), 0);
    QVERIFY(m_db.transaction());
    QVERIFY(m_db.rollback());
}

void TestRaiiTransaction::failedCommitIsRolledBack()
{
    // A deferred foreign key fails at COMMIT and leaves the transaction open behind it.
    QSqlQuery query(m_db);
    QVERIFY_SQL(query, exec("PRAGMA foreign_keys = ON"));
    QVERIFY_SQL(query, exec("CREATE TABLE parent(id INTEGER PRIMARY KEY)"));
    QVERIFY_SQL(query,
                exec(QStringLiteral("CREATE TABLE child(p INTEGER REFERENCES parent(id) "
                                    "DEFERRABLE INITIALLY DEFERRED)")));
    {
        RaiiTransaction transaction(m_db);
        QVERIFY(transaction.open());
        QVERIFY_SQL(query, exec("INSERT INTO t VALUES (1)"));
        QVERIFY_SQL(query, exec("INSERT INTO child VALUES (42)"));
        transaction.markSuccessfull();
    }
    QCOMPARE(rowCount("t"), 0);
    QVERIFY2(m_db.transaction(), "the failed commit left the transaction open");
    QVERIFY(m_db.rollback());
}

KORVEL_TEST_MAIN(TestRaiiTransaction)
#include "tst_raiitransaction.moc"
