#pragma once

#include "telemetry/publishing/publisher.h"

#include <QMutex>

#include <optional>

class QThread;

namespace kl::telemetry {

class PublisherPrivate
{
public:
    explicit PublisherPrivate(Publisher *qq)
        : q(qq)
    {
    }

    void scheduleAttempt();

    Publisher *q;
    QMutex m_mutex;
    std::optional<QThread *> m_thread;
};

} // namespace kl::telemetry
