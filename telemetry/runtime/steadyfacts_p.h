#pragma once

#include <QJsonObject>
#include <QStringList>

namespace kl::telemetry {

/// The built-in sources whose facts do not change while the process runs.
QStringList steadySourceIds();

/**
 * The facts of the steady source @p source, read once, when first asked, from any thread;
 * empty for a name steadySourceIds() does not list. FactSource::builtInSources() documents
 * their fields: they are the members of context records and the facts buckets attach.
 */
QJsonObject steadyFacts(const QString &source);

} // namespace kl::telemetry
