#pragma once

#include "telemetry/korveltelemetry_export.h"
#include "telemetry/runtime/hook_p.h"

#include <QString>

namespace kl::telemetry {

/**
 * Whether the user lets this process send telemetry: true until the host says otherwise.
 * Process-wide and read by every part (recording drops records, the flush writes nothing, the
 * publisher sends nothing, the registry creates no file); TelemetryPolicy is its public face.
 * Any thread.
 */
bool isTelemetryEnabled();
void setTelemetryEnabled(bool enabled);

/// Called on the switching thread when telemetry is switched on again: what waited in the
/// cache meanwhile may be published.
Hook<void()> &telemetryEnabledAgain();

/// The application a consent is about unless set: "<organisation domain>/<application name>".
QString defaultConsentApplication();

/// The level of a decision not made yet, or forgotten; others are TelemetryConsent::Level's.
constexpr int kUndecided = -1;
/// The level a record needs when nobody said: TelemetryConsent::Usage.
constexpr int kUsageLevel = 2;
/// The highest level, which allows every record.
constexpr int kDetailedLevel = 3;

/// Whether a decision of @p decided lets a record that needs @p needed be made; no telemetry,
/// the lowest level, lets none be.
inline bool levelAllows(int decided, int needed)
{
    return decided > 0 && needed <= decided;
}

/// A user's decision about an application's telemetry, and when it was made: of two, the
/// later one holds, whichever process learns of it first.
struct ConsentDecision
{
    int level = kUndecided;
    qint64 changedAt = 0; ///< ms since the epoch; 0 for no decision ever made

    bool isDecided() const { return level != kUndecided; }
    bool allows(int recordLevel) const { return levelAllows(level, recordLevel); }
    bool operator==(const ConsentDecision &other) const
    {
        return level == other.level && changedAt == other.changedAt;
    }
    bool operator!=(const ConsentDecision &other) const { return !(*this == other); }
};

/// The later of two decisions; the stored one when they were made at the same moment, so that
/// every process ends with the same.
inline ConsentDecision laterDecision(const ConsentDecision &mine, const ConsentDecision &stored)
{
    return stored.changedAt >= mine.changedAt ? stored : mine;
}

/**
 * From now on, the records of this process are those that @p application's @p decision
 * allows. Until the first call, no consent governs the process and every record is made.
 * Any thread.
 */
void governRecords(const QString &application, ConsentDecision decision);
/// The application whose consent governs this process's records; empty while none does.
QString governingApplication();
/// The decision that governs this process's records, as far as this process knows it.
ConsentDecision governingDecision();
/// Whether a record that needs @p level may be made now; a cheap read, for every record.
bool isLevelAllowed(int level);

} // namespace kl::telemetry
