#pragma once

#include "telemetry/korveltelemetry_export.h"
#include "telemetry/recording/telemetryconsent.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>

namespace kl::telemetry {

/**
 * One group of facts about the application or the system, such as the platform it runs on: a
 * context record carries value() as a member named id(), where the user's consent includes
 * level(). description() tells the user, in a consent view, what the facts are.
 *
 * builtInSources() lists those that every process has. A host adds its own (the plugins it
 * loaded, the features it enabled) by implementing this interface. value() may be called from
 * any thread.
 * \ingroup application
 */
class KORVELTELEMETRY_EXPORT FactSource
{
public:
    /// Destroys the source.
    virtual ~FactSource();

    /// The name of the member that carries the facts, such as "platform".
    virtual QString id() const = 0;
    /// What the facts are, in words a user understands.
    virtual QString description() const = 0;
    /// The consent level that the facts need.
    virtual TelemetryConsent::Level level() const = 0;
    /// The facts as they are now, one member each.
    virtual QJsonObject value() const = 0;

    /**
     * The sources of every process; those at level Basic are read once, when first asked:
     * - "application": "name", "version" and "organization", as QCoreApplication has them,
     *   and "library", the version of this library;
     * - "platform": "os" and "osVersion" (QSysInfo::productType() and productVersion()),
     *   "kernel", "kernelVersion", "arch" (the CPU architecture) and "cpus" (logical CPUs);
     * - "qt": "runtime" (qVersion()) and "build" (the version the library was built with);
     * - "locale": "language" and "territory" (ISO codes of the default QLocale; an empty
     *   territory for the "C" locale) and "uiLanguages" (the languages of its user interface,
     *   in order of preference);
     * - "usage", at level Usage: "startCount", how many processes of the application have
     *   started, "usageSeconds", how long they ran altogether, and "firstStart" and
     *   "lastStart", when the first and the latest started (ISO 8601, UTC). The cache file
     *   counts them per user and application for the processes that made a ContextRecorder,
     *   with their flushes and at exit, without a timer: a crash loses the time since the last
     *   flush. The facts are empty, and left out, until this process's start is counted.
     */
    static QList<std::shared_ptr<const FactSource>> builtInSources();

    /**
     * Adds @p source to builtInSources() in this process, for the ContextRecorders made from
     * now on; a source of the same id is replaced. The QML module adds "screens" this way
     * where a QGuiApplication runs: "count", and "screens", the size ("width", "height", in
     * device-independent pixels) and "devicePixelRatio" of each, at level Detailed.
     */
    static void addToBuiltInSources(std::shared_ptr<const FactSource> source);

protected:
    FactSource() = default;

private:
    friend class ContextRecorder;
    /// Adds @p source to @p sources, in place of one of the same id.
    static void addOrReplace(QList<std::shared_ptr<const FactSource>> &sources,
                             std::shared_ptr<const FactSource> source);
    Q_DISABLE_COPY(FactSource)
};

} // namespace kl::telemetry
