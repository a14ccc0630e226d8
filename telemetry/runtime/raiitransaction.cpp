#include "telemetry/runtime/raiitransaction.h"

#include <QSqlDatabase>
#include <QSqlQuery>

namespace kl::telemetry {

class RaiiTransactionPrivate
{
public:
    explicit RaiiTransactionPrivate(const QSqlDatabase &db)
        : m_db(db)
    {
    }

    QSqlDatabase m_db;
    bool m_success = false;
    bool m_ended = false;
};

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
    return d->m_db.transaction();
}

bool RaiiTransaction::openForWriting()
{
    return QSqlQuery(d->m_db).exec(QStringLiteral("BEGIN IMMEDIATE"));
}

void RaiiTransaction::markSuccessfull()
{
    d->m_success = true;
}

// SQLite may have rolled a failed commit back itself. The rollback runs as a query, so that the
// connection's last error stays the commit's, which the caller reports.
bool RaiiTransaction::commit()
{
    d->m_ended = true;
    if (d->m_db.commit())
        return true;
    QSqlQuery(d->m_db).exec(QStringLiteral("ROLLBACK"));
    return false;
}

} // namespace kl::telemetry
