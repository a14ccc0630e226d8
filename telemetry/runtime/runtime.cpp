#include "telemetry/runtime/runtime.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QUuid>

#include <cerrno>

#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcTelemetry, "korvel.telemetry", QtInfoMsg)

namespace kl::telemetry {

const char *kDbFileName = "korvel.db";
const char *kCacheDirectoryName = "KorvelTelemetry";
const char *kDbLockName = "korvel.telemetry.lock.db";
const char *kMainLockName = "korvel.telemetry.lock.global";
extern const int DataTransferFrequency = 10000;

QString getCacheDataBaseLocation()
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (base.isEmpty())
        base = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);

    const QString directory
        = QDir::cleanPath(base + QDir::separator() + QString::fromLatin1(kCacheDirectoryName));
    // Owner-only from the start, whatever the umask: what applications record is the user's.
    // Each lock take asks for the path: one system call when the directory exists.
    const QByteArray encoded = QFile::encodeName(directory);
    if (::mkdir(encoded.constData(), S_IRWXU) != 0 && errno == ENOENT) {
        QDir().mkpath(base);
        ::mkdir(encoded.constData(), S_IRWXU);
    }
    return QDir(directory).absoluteFilePath(QString::fromLatin1(kDbFileName));
}

QString generateUniqueId()
{
    const QByteArray bytes = QUuid::createUuid().toRfc4122().left(12);
    QString id = QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding));
    // A leading "-" or "_" reads like an option or a reserved CouchDB id.
    const QChar first = id.at(0);
    if (first == QLatin1Char('+') || first == QLatin1Char('-') || first == QLatin1Char('=')
        || first == QLatin1Char('_'))
        id[0] = QLatin1Char('A');
    return id;
}

} // namespace kl::telemetry
