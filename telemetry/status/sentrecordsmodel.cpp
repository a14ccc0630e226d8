#include "telemetry/status/sentrecordsmodel.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/cachefilewatch_p.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/credentials_p.h"
#include "telemetry/runtime/dispatch.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QThreadPool>
#include <QUrl>

#include <optional>

namespace kl::telemetry {

namespace {

constexpr int kMostListed = 1000;

struct Row
{
    QDateTime sentAt;
    QString destination;
    QString type;
    QString document;
};

Row rowOf(const SentRecord &record)
{
    const QJsonObject location = QJsonDocument::fromJson(record.location.toUtf8()).object();
    const QString server
        = withoutUserInfo(QUrl(location.value(QLatin1String("server")).toString()));
    const QString type = QJsonDocument::fromJson(record.record.toUtf8())
                             .object()
                             .value(QLatin1String("type"))
                             .toString();
    return { QDateTime::fromMSecsSinceEpoch(record.sentAt),
             server + QLatin1Char('/') + location.value(QLatin1String("database")).toString(), type,
             record.record };
}

} // namespace

class SentRecordsModelPrivate
{
public:
    explicit SentRecordsModelPrivate(SentRecordsModel *qq)
        : q(qq)
        , m_watch([this] { cacheChanged(); })
    {
    }

    void cacheChanged();
    void refresh();
    // Ends a read; rows that could not be read leave the list as it is.
    void readDone(std::optional<QVector<Row>> rows);

    SentRecordsModel *q;
    QString m_application = defaultConsentApplication();
    QVector<Row> m_rows;
    CacheFileWatch m_watch;
    // One read at a time; a change seen meanwhile reads once more when it ends.
    bool m_reading = false;
    bool m_readAgain = false;
};

// Watched afresh before the read, so that a write during the read is seen.
void SentRecordsModelPrivate::cacheChanged()
{
    m_watch.stop();
    m_watch.start();
    refresh();
}

void SentRecordsModelPrivate::refresh()
{
    if (std::exchange(m_reading, true)) {
        m_readAgain = true;
        return;
    }
    auto read = [application = m_application, model = QPointer<SentRecordsModel>(q),
                 thread = q->thread()] {
        QVector<Row> rows;
        bool ok = false;
        for (const SentRecord &record : DataCollector::sentRecords(application, kMostListed, &ok))
            rows.append(rowOf(record));
        dispatchToThread(thread, 0, [model, rows = ok ? std::optional(rows) : std::nullopt] {
            if (model)
                model->d->readDone(rows);
        });
    };
    QThreadPool::globalInstance()->start(new Task<decltype(read)>(read), 0);
}

void SentRecordsModelPrivate::readDone(std::optional<QVector<Row>> rows)
{
    m_reading = false;
    if (rows) {
        const int before = m_rows.size();
        q->beginResetModel();
        m_rows = std::move(*rows);
        q->endResetModel();
        if (m_rows.size() != before)
            Q_EMIT q->countChanged();
    }
    if (std::exchange(m_readAgain, false))
        refresh();
}

SentRecordsModel::SentRecordsModel(QObject *parent)
    : QAbstractListModel(parent)
    , d(new SentRecordsModelPrivate(this))
{
    d->m_watch.start();
    d->refresh();
}

SentRecordsModel::~SentRecordsModel()
{
    delete d;
}

QString SentRecordsModel::application() const
{
    return d->m_application;
}

void SentRecordsModel::setApplication(const QString &application)
{
    if (d->m_application == application)
        return;
    d->m_application = application;
    d->refresh();
    Q_EMIT applicationChanged();
}

int SentRecordsModel::count() const
{
    return d->m_rows.size();
}

int SentRecordsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant SentRecordsModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row &row = d->m_rows.at(index.row());
    switch (role) {
    case SentAtRole:
        return row.sentAt;
    case DestinationRole:
        return row.destination;
    case TypeRole:
    case Qt::DisplayRole:
        return row.type;
    case DocumentRole:
        return row.document;
    default:
        return {};
    }
}

QHash<int, QByteArray> SentRecordsModel::roleNames() const
{
    return { { SentAtRole, "sentAt" },
             { DestinationRole, "destination" },
             { TypeRole, "type" },
             { DocumentRole, "document" } };
}

} // namespace kl::telemetry
