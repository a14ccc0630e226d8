#include "telemetry/runtime/statementcache_p.h"

#include <utility>

namespace kl::telemetry {

namespace {

// Statements are made from a handful of shapes; a cache beyond that holds texts that vary,
// and starts again rather than grow.
constexpr std::size_t kMaxStatements = 64;

} // namespace

ReusedQuery::ReusedQuery(QSqlQuery *query, bool prepared)
    : m_query(query)
    , m_prepared(prepared)
{
}

ReusedQuery::ReusedQuery(ReusedQuery &&other) noexcept
    : m_query(std::exchange(other.m_query, nullptr))
    , m_prepared(other.m_prepared)
{
}

ReusedQuery::~ReusedQuery()
{
    if (m_query && m_prepared)
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
        return ReusedQuery(found->second.get(), true);
    auto query = std::make_unique<QSqlQuery>(db);
    query->setForwardOnly(true); // no copy of the rows read kept
    if (!query->prepare(sql)) {
        m_failed = std::move(query);
        return ReusedQuery(m_failed.get(), false);
    }
    if (m_queries.size() >= kMaxStatements)
        m_queries.clear();
    return ReusedQuery(m_queries.emplace(sql, std::move(query)).first->second.get(), true);
}

void StatementCache::clear()
{
    m_queries.clear();
    m_failed.reset();
}

} // namespace kl::telemetry
