#include "telemetry/runtime/statementcache_p.h"

#include <utility>

namespace kl::telemetry {

namespace {

// Statements are made from a handful of shapes; beyond that the texts vary, and are not kept.
constexpr std::size_t kMaxStatements = 64;

} // namespace

ReusedQuery::ReusedQuery(QSqlQuery *kept)
    : m_query(kept)
    , m_prepared(true)
{
}

ReusedQuery::ReusedQuery(std::unique_ptr<QSqlQuery> own, bool prepared)
    : m_own(std::move(own))
    , m_query(m_own.get())
    , m_prepared(prepared)
{
}

ReusedQuery::ReusedQuery(ReusedQuery &&other) noexcept
    : m_own(std::move(other.m_own))
    , m_query(std::exchange(other.m_query, nullptr))
    , m_prepared(other.m_prepared)
{
}

ReusedQuery::~ReusedQuery()
{
    if (m_query && !m_own)
        m_query->finish();
}

// A QSqlQuery frees its statement only while QtSql's null query exists, which is made when first
// needed and destroyed at exit in the reverse order of making. Made now, it outlives a cache
// that lives as long as the process.
StatementCache::StatementCache()
{
    const QSqlQuery madeFirst;
}

ReusedQuery StatementCache::prepared(const QSqlDatabase &db, const QString &sql)
{
    const auto found = m_queries.find(sql);
    if (found != m_queries.end())
        return ReusedQuery(found->second.get());
    auto query = std::make_unique<QSqlQuery>(db);
    query->setForwardOnly(true); // no copy of the rows read kept
    const bool prepared = query->prepare(sql);
    // A statement that failed, or one beyond the bound, is made again at its next use.
    if (!prepared || m_queries.size() >= kMaxStatements)
        return ReusedQuery(std::move(query), prepared);
    return ReusedQuery(m_queries.emplace(sql, std::move(query)).first->second.get());
}

void StatementCache::close(QSqlDatabase &db)
{
    m_queries.clear();
    db.close();
}

} // namespace kl::telemetry
