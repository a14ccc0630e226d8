#include "telemetry/publishing/networkaccess_p.h"

#include "telemetry/publishing/documentuploader.h"
#include "telemetry/registry/backends_p.h"
#include "telemetry/runtime/runtime.h"

#ifndef KORVEL_NETWORK_BUILT_IN
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#include <dlfcn.h>
#endif

namespace kl::telemetry {

namespace {

#ifdef KORVEL_NETWORK_BUILT_IN
NetworkAccess *loadNetworkAccess()
{
    return korvelNetworkAccess();
}
#else
// Beside this library, wherever it lies: the dynamic loader need not know the prefix.
QString networkLibraryPath()
{
    const QString name = QStringLiteral(KORVEL_NETWORK_LIBRARY);
    Dl_info self {};
    if (!dladdr(reinterpret_cast<void *>(&networkAccess), &self) || !self.dli_fname)
        return name;
    return QFileInfo(QFile::decodeName(self.dli_fname)).dir().filePath(name);
}

NetworkAccess *loadNetworkAccess()
{
    QLibrary library(networkLibraryPath());
    using Entry = NetworkAccess *(*)();
    const auto entry = reinterpret_cast<Entry>(library.resolve("korvelNetworkAccess"));
    if (!entry) {
        qCCritical(lcTelemetry).noquote()
            << "The network part cannot be loaded, so nothing is uploaded:"
            << library.errorString();
        return nullptr;
    }
    return entry(); // the library stays loaded: QLibrary unloads only when asked to
}
#endif

// At load, so that the registry builds uploaders before any publisher exists, as it always has;
// the network part itself loads with the first uploader.
void installUploaderFactory()
{
    BackendsPrivate::uploaderFactory().set([](const QString &backend, const QString &locationInfo) {
        NetworkAccess *access = networkAccess();
        return access ? access->makeUploader(backend, locationInfo)
                      : QSharedPointer<DocumentUploader>();
    });
}

} // namespace

Q_CONSTRUCTOR_FUNCTION(installUploaderFactory)

NetworkAccess *networkAccess()
{
    static NetworkAccess *const access = loadNetworkAccess();
    return access;
}

} // namespace kl::telemetry
