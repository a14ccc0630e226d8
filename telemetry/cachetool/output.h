#pragma once

#include <QJsonArray>
#include <QString>

/// Prints @p text and a new line on stdout.
void print(const QString &text);
/// The destinations as "list" shows them, a line each, with their failures and accounts.
void printDestinations(const QJsonArray &destinations);
/// Cached or set-aside records, each with its document on a line of its own.
void printRecords(const QJsonArray &records);
/// Sent records, newest first, each with where and when it went and its document.
void printSent(const QJsonArray &records);
