#include "telemetry/runtime/raiitransaction.h"

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

void RaiiTransaction::markSuccessfull()
{
    m_success = true;
}

bool RaiiTransaction::commit()
{
    m_ended = true;
    if (m_db.commit())
        return true;
    // cppcheck-suppress ignoredReturnErrorCode
    m_db.rollback(); // the caller reports the failed commit
    return false;
}

} // namespace kl::telemetry
