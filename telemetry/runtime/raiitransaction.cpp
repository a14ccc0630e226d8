#include "telemetry/runtime/raiitransaction.h"

#include <QSqlQuery>

namespace kl::telemetry {

RaiiTransaction::RaiiTransaction(const QSqlDatabase &db)
    : m_db(db)
{
}

RaiiTransaction::~RaiiTransaction()
{
    if (m_ended || (m_success && m_db.commit()))
        return;
    // Nobody is left to tell: a failed rollback leaves SQLite to end the transaction itself.
    // cppcheck-suppress ignoredReturnErrorCode
    m_db.rollback();
}

bool RaiiTransaction::open()
{
    return m_db.transaction();
}

bool RaiiTransaction::openForWriting()
{
    return QSqlQuery(m_db).exec(QStringLiteral("BEGIN IMMEDIATE"));
}

void RaiiTransaction::markSuccessfull()
{
    m_success = true;
}

// SQLite may have rolled a failed commit back itself. The rollback runs as a query, so that the
// connection's last error stays the commit's, which the caller reports.
bool RaiiTransaction::commit()
{
    m_ended = true;
    if (m_db.commit())
        return true;
    QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK"));
    return false;
}

} // namespace kl::telemetry
