#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QAbstractListModel>

namespace kl::telemetry {

class SentRecordsModelPrivate;

/**
 * What servers stored of an application's records, newest first, for the user to see: the
 * records made while a TelemetryConsent governed the application (at most the newest 1000,
 * within the bounds DataCollector::setSentRecordsDays() and setMaxSentRecordsBytes() set).
 * The list is read off the model's thread, and again whenever a process of the user writes to
 * the cache file, as batches are stored; the file is watched, never polled.
 *
 * Roles: "sentAt" (a QDateTime), "destination" (the database URL, without credentials),
 * "type" (the record's metric type) and "document" (the record as sent, JSON text).
 * \ingroup application
 */
class KORVELTELEMETRY_EXPORT SentRecordsModel : public QAbstractListModel
{
    Q_OBJECT
    /// The application whose sent records are listed; see application().
    Q_PROPERTY(QString application READ application WRITE setApplication NOTIFY applicationChanged)
    /// How many records are listed (read-only); see count().
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    /// The data of a record; QML names them by roleNames().
    enum Role {
        SentAtRole = Qt::UserRole + 1, ///< "sentAt"
        DestinationRole, ///< "destination"
        TypeRole, ///< "type", also the display role
        DocumentRole, ///< "document"
    };
    Q_ENUM(Role)

    /// The records of the application a TelemetryConsent names by default.
    explicit SentRecordsModel(QObject *parent = nullptr);
    /// Destroys the model.
    ~SentRecordsModel() override;

    /// The application whose records are listed; "<organisation domain>/<name>" unless set.
    QString application() const;
    /// Sets application() and reads its records; emits applicationChanged() when it changes.
    void setApplication(const QString &application);
    /// The records listed.
    int count() const;

    /// count() for the root, 0 below it.
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    /// The @p role of the record at @p index; invalid for an index out of the list.
    QVariant data(const QModelIndex &index, int role) const override;
    /// The names of the roles, for QML.
    QHash<int, QByteArray> roleNames() const override;

Q_SIGNALS:
    /// application() changed.
    void applicationChanged();
    /// count() changed.
    void countChanged();

private:
    Q_DISABLE_COPY(SentRecordsModel)
    friend class SentRecordsModelPrivate;
    SentRecordsModelPrivate *d;
};

} // namespace kl::telemetry
