#pragma once

#include <QJsonObject>
#include <QString>

namespace kl::telemetry::dashboard {

/// Where the design document lives in its database.
inline QString designDocumentId()
{
    return QStringLiteral("_design/korvel");
}

/**
 * The design document this build installs: the views, with the page and the charting library as
 * attachments.
 */
QJsonObject designDocument();

/// Whether @p installed, as a server returns it, holds the views and files of @p wanted.
bool isInstalled(const QJsonObject &installed, const QJsonObject &wanted);

} // namespace kl::telemetry::dashboard
