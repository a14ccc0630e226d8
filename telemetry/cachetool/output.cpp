// What korvel-cache prints: the text forms of its listings.
#include "output.h"

#include "telemetry/runtime/runtime.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QUrl>

#include <cstdio>

namespace {

QString age(qint64 timestamp)
{
    const qint64 seconds = (QDateTime::currentMSecsSinceEpoch() - timestamp) / 1000;
    if (seconds < 120)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 7200)
        return QStringLiteral("%1 min").arg(seconds / 60);
    return QStringLiteral("%1 h").arg(seconds / 3600);
}

// Of a listed destination or sent record, which carry its server and database.
QString nameOf(const QJsonObject &listed)
{
    return kl::telemetry::destinationName(QUrl(listed.value("server").toString()),
                                          listed.value("database").toString());
}

} // namespace

void print(const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
}

void printDestinations(const QJsonArray &destinations)
{
    print(QStringLiteral("%1  %2  %3  %4  %5")
              .arg("ID", 4)
              .arg("pending", 8)
              .arg("oldest", 8)
              .arg("set aside", 9)
              .arg("destination"));
    for (const QJsonValue &value : destinations) {
        const QJsonObject destination = value.toObject();
        const QString oldest = destination.contains("oldest")
            ? age(qint64(destination.value("oldest").toDouble()))
            : QStringLiteral("-");
        print(QStringLiteral("%1  %2  %3  %4  %5 %6")
                  .arg(destination.value("storageId").toInt(), 4)
                  .arg(destination.value("pending").toInt(), 8)
                  .arg(oldest, 8)
                  .arg(destination.value("setAside").toInt(), 9)
                  .arg(destination.value("backend").toString(), nameOf(destination)));
        const QJsonObject answer = destination.value("lastAnswer").toObject();
        const int status = answer.value("status").toInt();
        if (!answer.value("error").toString().isEmpty())
            print(QStringLiteral("      failing for %1: %2%3")
                      .arg(age(qint64(answer.value("since").toDouble())),
                           status ? QStringLiteral("HTTP %1, ").arg(status) : QString(),
                           answer.value("error").toString()));
        const QJsonObject accounts = destination.value("accounts").toObject();
        for (auto account = accounts.constBegin(); account != accounts.constEnd(); ++account)
            print(QStringLiteral("      %1 of them go out only with the login of %2")
                      .arg(account.value().toInt())
                      .arg(account.key()));
    }
}

void printRecords(const QJsonArray &records)
{
    for (const QJsonValue &value : records) {
        const QJsonObject record = value.toObject();
        QString line = record.value("id").toString();
        if (record.contains("reason"))
            line += QStringLiteral(" (destination %1, set aside %2 ago: %3)")
                        .arg(record.value("storageId").toInt())
                        .arg(age(qint64(record.value("setAsideAt").toDouble())),
                             record.value("reason").toString());
        print(line);
        const QJsonValue document = record.value("record");
        print(QStringLiteral("  ")
              + (document.isObject() ? QString::fromUtf8(
                     QJsonDocument(document.toObject()).toJson(QJsonDocument::Compact))
                                     : document.toString()));
    }
}

void printSent(const QJsonArray &records)
{
    for (const QJsonValue &value : records) {
        const QJsonObject record = value.toObject();
        print(QStringLiteral("%1 (%2, sent %3 ago to %4)")
                  .arg(record.value("id").toString(), record.value("application").toString(),
                       age(qint64(record.value("sentAt").toDouble())), nameOf(record)));
        print(QStringLiteral("  ") + record.value("record").toString());
    }
}
