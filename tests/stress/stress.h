#pragma once

#include <QString>

// The stress program: one controller process that starts recording processes (workers and
// short-lived exit processes), injects faults and checks where every record ended up.
namespace kl::telemetry::stress {

/// The shared destination of a record: one of two, by its sequence number.
inline QString databaseFor(int sequence)
{
    return sequence % 2 ? QStringLiteral("stress-odd") : QStringLiteral("stress-even");
}

/// The payload a record carries, about 200 bytes, derived from its source and sequence
/// number so that the controller can check the content that arrived.
inline QString payloadFor(const QString &source, int sequence)
{
    const QString unit = QStringLiteral("%1/%2;").arg(source).arg(sequence);
    return unit.repeated(200 / unit.size() + 1).left(200);
}

/// The process modes the controller starts, with arguments SERVER SOURCE:
///   worker       records continuously and publishes; obeys commands on stdin
///   exit-record  records three documents and exits at once
///   exit-upload  records three documents, waits until they are cached, exits as soon as an
///                upload is in flight
/// Returns the process's exit code.
int runProcess(const QString &mode, const QString &server, const QString &source);

} // namespace kl::telemetry::stress
