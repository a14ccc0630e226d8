#include "telemetry/runtime/steadyfacts_p.h"

#include "telemetry/korveltelemetry_version.h"

#include <QCoreApplication>
#include <QHash>
#include <QJsonArray>
#include <QLocale>
#include <QMutex>
#include <QSysInfo>
#include <QThread>

#include <algorithm>

namespace kl::telemetry {

namespace {

QJsonObject applicationFacts()
{
    return { { QStringLiteral("name"), QCoreApplication::applicationName() },
             { QStringLiteral("version"), QCoreApplication::applicationVersion() },
             { QStringLiteral("organization"), QCoreApplication::organizationName() },
             { QStringLiteral("library"), QStringLiteral(KORVELTELEMETRY_VERSION_STRING) } };
}

QJsonObject platformFacts()
{
    return { { QStringLiteral("os"), QSysInfo::productType() },
             { QStringLiteral("osVersion"), QSysInfo::productVersion() },
             { QStringLiteral("kernel"), QSysInfo::kernelType() },
             { QStringLiteral("kernelVersion"), QSysInfo::kernelVersion() },
             { QStringLiteral("arch"), QSysInfo::currentCpuArchitecture() },
             { QStringLiteral("cpus"), QThread::idealThreadCount() } };
}

QJsonObject qtFacts()
{
    return { { QStringLiteral("runtime"), QLatin1String(qVersion()) },
             { QStringLiteral("build"), QStringLiteral(QT_VERSION_STR) } };
}

// The codes come from the locale's name ("de_CH"), which Qt 5 and Qt 6 write alike.
QJsonObject localeFacts()
{
    const QLocale locale;
    const QStringList codes = locale.name().split(QLatin1Char('_'));
    return { { QStringLiteral("language"), codes.value(0) },
             { QStringLiteral("territory"), codes.value(1) },
             { QStringLiteral("uiLanguages"), QJsonArray::fromStringList(locale.uiLanguages()) } };
}

using Reader = QJsonObject (*)();

const QList<QPair<QString, Reader>> &readers()
{
    static const QList<QPair<QString, Reader>> sources {
        { QStringLiteral("application"), &applicationFacts },
        { QStringLiteral("platform"), &platformFacts },
        { QStringLiteral("qt"), &qtFacts },
        { QStringLiteral("locale"), &localeFacts },
    };
    return sources;
}

} // namespace

QStringList steadySourceIds()
{
    QStringList ids;
    for (const auto &source : readers())
        ids << source.first;
    return ids;
}

QJsonObject steadyFacts(const QString &source)
{
    static QBasicMutex mutex;
    static auto *read = new QHash<QString, QJsonObject>; // records may be made during exit
    QMutexLocker locker(&mutex);
    if (const auto known = read->constFind(source); known != read->constEnd())
        return *known;
    const auto reader
        = std::find_if(readers().cbegin(), readers().cend(),
                       [&source](const auto &known) { return known.first == source; });
    return reader == readers().cend() ? QJsonObject()
                                      : read->insert(source, reader->second()).value();
}

} // namespace kl::telemetry
