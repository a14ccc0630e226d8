#pragma once

#include <QDeadlineTimer>
#include <QHash>
#include <QString>

namespace kl::telemetry {

/// A destination in the log: its storage ID, which korvel-cache takes, and its name.
QString loggedDestination(int storageId);

/**
 * Spaces the attempts of a destination whose batches keep failing: credentials refused, no
 * connection, time-outs, server errors. After the n-th failure running, the destination waits
 * DataTransferFrequency × 2^(n-1), at most kMaxDelayMs, while other destinations go on at the
 * usual pace. An answer that the destination gave to the records ends the back-off; reset()
 * brings every destination back to the usual pace. A cache that could not take the answer (a
 * full disk, another client's lock) says nothing of the destination: it waits one period, so
 * that the records it stored are not sent again at once, and its back-off starts afresh. A
 * destination that starts failing, or fails for another reason, is logged once as a warning,
 * its recovery once as info. Publisher thread.
 */
class PublishingBackoff
{
public:
    static constexpr int kMaxDelayMs = 5 * 60 * 1000;

    /// Notes that a batch of @p storageId failed for @p reason; returns the delay before the
    /// destination's next attempt. A batch sent before the back-off began adds nothing to it.
    int failed(int storageId, const QString &reason);
    /// Notes that @p storageId answered but the cache could not take the answer, for
    /// @p reason; the destination waits DataTransferFrequency.
    void cacheFailed(int storageId, const QString &reason);
    /// Notes that @p storageId answered for its records.
    void succeeded(int storageId);
    /// The next attempt of every destination comes at the usual pace; a later failure waits
    /// DataTransferFrequency again.
    void reset();
    /// Whether @p storageId waits before its next attempt.
    bool isHeld(int storageId) const;
    /// Milliseconds until the first destination held may be tried again; -1 when none is.
    qint64 msUntilFirstDue() const;

private:
    // A destination without an entry is answering; with one, it is failing.
    struct Failing
    {
        QString reason;
        int failures = 0; // running, since the last reset
        QDeadlineTimer due;
    };

    static int delayAfter(int failures);
    static void hold(int storageId, Failing &failing, int delay, const QString &reason);

    QHash<int, Failing> m_failing;
};

} // namespace kl::telemetry
