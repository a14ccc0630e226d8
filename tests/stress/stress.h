#pragma once

#include <QString>
#include <QStringList>

// The stress program: one controller process that starts recording processes (workers and
// short-lived exit processes), injects faults and checks where every record ended up.
namespace kl::telemetry::stress {

/// The two shared destinations: a record goes to the first when its sequence number is even.
QString databaseFor(int sequence);
QStringList databases();

/// The payload a record carries, about 200 bytes, derived from its source and sequence
/// number so that the controller can check the content that arrived.
QString payloadFor(const QString &source, int sequence);

/**
 * The process modes the controller starts, with arguments SERVER SOURCE:
 *   worker       records continuously and publishes; obeys commands on stdin
 *   exit-record  records three documents and exits at once
 *   exit-upload  records three documents, waits until they are cached, exits as soon as an
 *                upload is in flight
 * Returns the process's exit code.
 */
int runProcess(const QString &mode, const QString &server, const QString &source);

/// The controller: runs the whole scenario, prints the table, returns 0 when nothing failed.
int runController(const QStringList &arguments);

} // namespace kl::telemetry::stress
