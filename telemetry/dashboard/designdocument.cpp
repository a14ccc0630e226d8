#include "designdocument.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

namespace kl::telemetry::dashboard {

namespace {

struct ViewSource
{
    const char *name;
    const char *reduce;
};

// Built-in reduces only: CouchDB runs them natively, and every node of a cluster can.
constexpr ViewSource kViews[] = {
    { "by_type_day", "_count" }, { "by_version_day", "_count" }, { "by_os_day", "_count" },
    { "by_time", "_count" },     { "property_stats", "_stats" },
};

constexpr const char *kPageFiles[] = { "index.html",        "dashboard.js",  "dashboard.css",
                                       "uPlot.iife.min.js", "uPlot.min.css", "uPlot.LICENSE" };

QByteArray resource(const QString &path)
{
    QFile file(QStringLiteral(":/korvel-dashboard/") + path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("The resource %s is missing from this build", qPrintable(path));
    return file.readAll();
}

QString contentTypeOf(const QString &name)
{
    const QString suffix = QFileInfo(name).suffix();
    if (suffix == QLatin1String("html"))
        return QStringLiteral("text/html; charset=utf-8");
    if (suffix == QLatin1String("js"))
        return QStringLiteral("text/javascript; charset=utf-8");
    if (suffix == QLatin1String("css"))
        return QStringLiteral("text/css; charset=utf-8");
    return QStringLiteral("text/plain; charset=utf-8");
}

} // namespace

QJsonObject designDocument()
{
    QJsonObject views;
    for (const ViewSource &view : kViews) {
        const QByteArray map
            = resource(QStringLiteral("views/%1.js").arg(QLatin1String(view.name)));
        views.insert(QLatin1String(view.name),
                     QJsonObject { { QStringLiteral("map"), QString::fromUtf8(map) },
                                   { QStringLiteral("reduce"), QLatin1String(view.reduce) } });
    }
    QJsonObject attachments;
    for (const char *file : kPageFiles) {
        const QString name = QLatin1String(file);
        const QByteArray data = resource(QStringLiteral("page/") + name);
        attachments.insert(
            name,
            QJsonObject { { QStringLiteral("content_type"), contentTypeOf(name) },
                          { QStringLiteral("data"), QString::fromLatin1(data.toBase64()) } });
    }
    return {
        { QStringLiteral("_id"), designDocumentId() },
        { QStringLiteral("language"), QStringLiteral("javascript") },
        { QStringLiteral("views"), views },
        { QStringLiteral("_attachments"), attachments },
        { QStringLiteral("korvel"),
          QJsonObject { { QStringLiteral("version"), QStringLiteral(KORVEL_DASHBOARD_VERSION) } } },
    };
}

// A server lists attachments as stubs with the MD5 digest of their data, which CouchDB and
// PouchDB both write as "md5-" and the digest in base64.
bool isInstalled(const QJsonObject &installed, const QJsonObject &wanted)
{
    const auto member = [](const QJsonObject &object, const char *name) {
        return object.value(QLatin1String(name));
    };
    if (member(installed, "language") != member(wanted, "language")
        || member(installed, "views") != member(wanted, "views"))
        return false;
    const QJsonObject stubs = member(installed, "_attachments").toObject();
    const QJsonObject files = member(wanted, "_attachments").toObject();
    if (stubs.keys() != files.keys())
        return false;
    for (auto file = files.begin(); file != files.end(); ++file) {
        const QJsonObject stub = stubs.value(file.key()).toObject();
        const QByteArray data
            = QByteArray::fromBase64(member(file->toObject(), "data").toString().toLatin1());
        const QByteArray md5 = QCryptographicHash::hash(data, QCryptographicHash::Md5).toBase64();
        if (member(stub, "content_type") != member(file->toObject(), "content_type")
            || member(stub, "digest").toString() != QLatin1String("md5-" + md5))
            return false;
    }
    return true;
}

} // namespace kl::telemetry::dashboard
