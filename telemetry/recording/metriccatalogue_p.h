#pragma once

#include "telemetry/recording/recorder.h"

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QVariantList>

namespace kl::telemetry {

/**
 * The metric types this process describes or records, for the consent dialog: each with its
 * level, the host's words for it, and an example record, built from a recorder of the type
 * while one lives. Any thread; changed() comes in the catalogue's thread, the first user's.
 */
class MetricCatalogue : public QObject
{
    Q_OBJECT

public:
    static MetricCatalogue *instance();

    /// Enters @p recorder's type as the recorder describes it now; once per change of the
    /// recorder, which its private part remembers.
    void enter(Recorder *recorder);
    /// Every type, by level and then by name, as maps with the keys "type", "level",
    /// "description", "described" and "example" (indented JSON).
    QVariantList metrics() const;

Q_SIGNALS:
    void changed();

private:
    struct Entry
    {
        int level = 0;
        QString description;
        QPointer<Recorder> recorder;
        QByteArray example;
    };

    MetricCatalogue() = default;
    void tellUndescribed(const QString &type) const;

    mutable QMutex m_mutex;
    QHash<QString, Entry> m_entries;
};

} // namespace kl::telemetry
