import QtQml 2.15
import Korvel.Telemetry 1.0

// What the application records, each type described once for the user, and the user's
// decision about it. Nothing is recorded until the user decides.
QtObject {
    id: root

    property TelemetryConsent consent: TelemetryConsent {}
    property SentRecordsModel sent: SentRecordsModel {}

    property CouchDBBucket bucket: CouchDBBucket {
        server: serverUrl
        database: databaseName
    }

    // The facts about the application and the system, each source shown with its level.
    property ContextRecorder context: ContextRecorder {
        bucket: root.bucket
    }

    property Recorder startup: Recorder {
        type: "example.startup"
        level: TelemetryConsent.Basic
        description: qsTr("How long the application took to start, and on which system")
        bucket: root.bucket
        property int milliseconds
        property string system: Qt.platform.os
    }

    property Recorder action: Recorder {
        type: "example.action"
        level: TelemetryConsent.Usage
        description: qsTr("Which of the application's actions you use")
        bucket: root.bucket
        property string action
    }

    property Recorder document: Recorder {
        type: "example.document"
        level: TelemetryConsent.Detailed
        description: qsTr("The size and kind of the documents you open")
        bucket: root.bucket
        property int kilobytes
        property string kind
    }
}
