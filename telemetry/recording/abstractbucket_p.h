#pragma once

#include "telemetry/recording/abstractbucket.h"
#include "telemetry/runtime/cachefile_p.h"

#include <QJsonObject>

#include <optional>

namespace kl::telemetry {

class AbstractBucketPrivate
{
public:
    explicit AbstractBucketPrivate(AbstractBucket *qq)
        : q(qq)
    {
    }

    static AbstractBucketPrivate *get(AbstractBucket *bucket) { return bucket->d; }

    /// Adds the members that facts() names to @p json, the compact text of @p record.
    void attachFacts(const QJsonDocument &record, QByteArray &json);

    AbstractBucket *q;
    // The user name that the bucket's records go out with; empty without a login.
    QString m_account;
    int m_storageId = kNoStorageId;
    // The cache file generation the storage ID belongs to.
    int m_generation = 0;
    bool m_lookupFailing = false;
    QStringList m_facts;
    // The members that facts() names, read at the first record after a change, and their
    // compact text, which most records get appended.
    struct FactMembers
    {
        QJsonObject members;
        QStringList names;
        QByteArray text;
    };
    std::optional<FactMembers> m_factMembers;

private:
    const FactMembers &factMembers();
};

} // namespace kl::telemetry
