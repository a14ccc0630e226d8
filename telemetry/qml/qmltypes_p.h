#pragma once

// The types of the QML module Korvel.Telemetry, for Qt 6's registration at build time. The
// classes live in the library, which knows nothing of QML, so they are declared foreign here.
#include "telemetry/facts/contextrecorder.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/recording/telemetryconsent.h"
#include "telemetry/status/sentrecordsmodel.h"
#include "telemetry/status/telemetrystatus.h"

#include <QQmlEngine>

namespace kl::telemetry::qml {

struct RecorderType
{
    Q_GADGET
    QML_FOREIGN(kl::telemetry::Recorder)
    QML_NAMED_ELEMENT(Recorder)
};

struct ContextRecorderType
{
    Q_GADGET
    QML_FOREIGN(kl::telemetry::ContextRecorder)
    QML_NAMED_ELEMENT(ContextRecorder)
};

struct TelemetryConsentType
{
    Q_GADGET
    QML_FOREIGN(kl::telemetry::TelemetryConsent)
    QML_NAMED_ELEMENT(TelemetryConsent)
};

struct SentRecordsModelType
{
    Q_GADGET
    QML_FOREIGN(kl::telemetry::SentRecordsModel)
    QML_NAMED_ELEMENT(SentRecordsModel)
};

struct AbstractBucketType
{
    Q_GADGET
    QML_FOREIGN(kl::telemetry::AbstractBucket)
    QML_NAMED_ELEMENT(AbstractBucket)
    QML_UNCREATABLE("Use CouchDBBucket")
};

struct CouchDBBucketType
{
    Q_GADGET
    QML_FOREIGN(kl::telemetry::CouchDBBucket)
    QML_NAMED_ELEMENT(CouchDBBucket)
};

struct TelemetryStatusType
{
    Q_GADGET
    QML_FOREIGN(kl::telemetry::TelemetryStatus)
    QML_NAMED_ELEMENT(TelemetryStatus)
    QML_SINGLETON

public:
    // The process's one status, which C++ reaches through currentTelemetryStatus().
    static TelemetryStatus *create(QQmlEngine *, QJSEngine *)
    {
        TelemetryStatus *status = currentTelemetryStatus();
        QQmlEngine::setObjectOwnership(status, QQmlEngine::CppOwnership);
        return status;
    }
};

} // namespace kl::telemetry::qml
