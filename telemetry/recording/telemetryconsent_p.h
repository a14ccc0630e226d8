#pragma once

#include "telemetry/recording/telemetryconsent.h"
#include "telemetry/runtime/consent_p.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QPointer>
#include <QVector>

namespace kl::telemetry {

class TelemetryConsentPrivate
{
public:
    explicit TelemetryConsentPrivate(TelemetryConsent *qq)
        : q(qq)
    {
    }

    static TelemetryConsentPrivate *get(TelemetryConsent *consent) { return consent->d; }

    /// Shows @p decision, emitting what changed.
    void show(ConsentDecision decision);
    void decide(int level);

    TelemetryConsent *q;
    QString m_application;
    ConsentDecision m_decision;
};

/**
 * The decisions this process knows, per application, and the consents that show them. It
 * watches the marker that every stored decision rewrites, and reads the decisions again when
 * another process changed one. Lives in the thread of the first consent, and goes with the
 * application object.
 */
class ConsentBook : public QObject
{
    Q_OBJECT

public:
    /// The process's book, made on first use.
    static ConsentBook *instance();

    void add(TelemetryConsent *consent);
    void remove(TelemetryConsent *consent);
    /// @p application's decision: known already, or read from the cache file.
    ConsentDecision decisionOf(const QString &application);
    /// The process's records follow @p application's decision from now on.
    void govern(const QString &application);
    /// Takes @p decision for @p application at once, and keeps it in the cache file off this
    /// thread; @p by hears whether it was kept.
    void decide(const QString &application, ConsentDecision decision, TelemetryConsent *by);

private:
    ConsentBook();
    void watchMarker();
    void readAgain();
    void readAgainSoon();
    void apply(const QString &application, ConsentDecision decision);

    static constexpr int kFirstRereadDelayMs = 250;
    static constexpr int kLastRereadDelayMs = 30000;

    QHash<QString, ConsentDecision> m_decisions;
    int m_rereadDelayMs = kFirstRereadDelayMs;
    bool m_rereadPending = false;
    QVector<TelemetryConsent *> m_consents;
    QFileSystemWatcher m_watcher;
};

} // namespace kl::telemetry
