#pragma once

#include "telemetry/publishing/batchnarrowing_p.h"

#include <QStringList>
#include <QVector>

namespace kl::telemetry {

/// The records of a read that can go to the server, and those that never can.
struct BatchSelection
{
    QStringList ids;
    QStringList documents;
    /// Not sendable as they are; the reason says why.
    QVector<BatchVerdict::SetAside> unsendable;
};

/**
 * Sorts the records that were read, oldest first, into those CouchDB can store as documents
 * and those it never could: not a JSON object, an "_id" missing or other than the record's id,
 * a top-level member other than "_id" whose name begins with "_" (named in the reason), or
 * larger than the server accepts. Another client may have written any of them; sent, they
 * would be refused batch after batch, in the way of every record behind them.
 */
BatchSelection selectSendable(const QStringList &ids, const QStringList &documents);

} // namespace kl::telemetry
