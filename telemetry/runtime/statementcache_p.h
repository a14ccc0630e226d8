#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <map>
#include <memory>

namespace kl::telemetry {

/**
 * A statement that a StatementCache lends out, or one made for a single use when the cache
 * does not keep it. A kept one is reset when this goes, so that between uses it keeps no read
 * transaction open, which would hold back every checkpoint of the file.
 */
class KORVELTELEMETRY_TESTS_EXPORT ReusedQuery
{
public:
    explicit ReusedQuery(QSqlQuery *kept);
    ReusedQuery(std::unique_ptr<QSqlQuery> own, bool prepared);
    ReusedQuery(ReusedQuery &&other) noexcept;
    ReusedQuery &operator=(ReusedQuery &&) = delete;
    ~ReusedQuery();

    /// False when the statement could not be prepared; lastError() says why.
    bool isPrepared() const { return m_prepared; }
    QSqlQuery &operator*() const { return *m_query; }
    QSqlQuery *operator->() const { return m_query; }

private:
    std::unique_ptr<QSqlQuery> m_own;
    QSqlQuery *m_query;
    bool m_prepared;
};

/**
 * The statements a connection runs again and again, each prepared once: preparing one costs
 * SQLite more than running it. Used with the connection's mutex held, and a statement by one
 * caller at a time; the connection is closed through close(), which drops them first.
 */
class KORVELTELEMETRY_TESTS_EXPORT StatementCache
{
public:
    StatementCache();

    /// @p sql, prepared on @p db once and lent until the returned query goes.
    ReusedQuery prepared(const QSqlDatabase &db, const QString &sql);
    /// Closes @p db, which would finalize the statements, once they are dropped.
    void close(QSqlDatabase &db);

private:
    std::map<QString, std::unique_ptr<QSqlQuery>> m_queries;
};

} // namespace kl::telemetry
