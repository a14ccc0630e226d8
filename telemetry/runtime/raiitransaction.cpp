#include "telemetry/runtime/raiitransaction.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace kl::telemetry {

class RaiiTransactionPrivate
{
public:
    explicit RaiiTransactionPrivate(const QSqlDatabase &db)
        : m_db(db)
    {
    }

    bool exec(const QString &statement);

    QSqlDatabase m_db;
    QSqlError m_error;
    bool m_success = false;
    bool m_ended = false;
};

// As queries, not through the driver's transaction calls: Qt 5's drop SQLite's error code, which
// tells a busy file from a broken one.
bool RaiiTransactionPrivate::exec(const QString &statement)
{
    QSqlQuery query(m_db);
    if (query.exec(statement))
        return true;
    m_error = query.lastError();
    return false;
}

RaiiTransaction::RaiiTransaction(const QSqlDatabase &db)
    : d(new RaiiTransactionPrivate(db))
{
}

RaiiTransaction::~RaiiTransaction()
{
    if (!d->m_ended && !(d->m_success && d->m_db.commit())) {
        // Nobody is left to tell: a failed rollback leaves SQLite to end the transaction itself.
        // cppcheck-suppress ignoredReturnErrorCode
        d->m_db.rollback();
    }
    delete d;
}

bool RaiiTransaction::open()
{
    return d->exec(QStringLiteral("BEGIN"));
}

bool RaiiTransaction::openForWriting()
{
    return d->exec(QStringLiteral("BEGIN IMMEDIATE"));
}

void RaiiTransaction::markSuccessfull()
{
    d->m_success = true;
}

// SQLite may have rolled a failed commit back itself.
bool RaiiTransaction::commit()
{
    d->m_ended = true;
    if (d->exec(QStringLiteral("COMMIT")))
        return true;
    QSqlQuery(d->m_db).exec(QStringLiteral("ROLLBACK"));
    return false;
}

QSqlError RaiiTransaction::lastError() const
{
    return d->m_error;
}

} // namespace kl::telemetry
