import QtQml 2.15
import Korvel.Telemetry 1.0

// Records `recordCount` ticks, one every few milliseconds, into one CouchDB database.
QtObject {
    id: root

    property bool finished: false

    property CouchDBBucket bucket: CouchDBBucket {
        server: serverUrl
        database: databaseName
    }

    // Properties declared here become members of every record.
    property Recorder recorder: Recorder {
        property int tick: 0
        property string source: "qml example"
        property real load: tick / 10

        type: "example.qml.tick"
        bucket: root.bucket
    }

    // What an application could show: each batch its destination stored.
    property Connections status: Connections {
        target: TelemetryStatus
        function onBatchPublished(destination, stored) {
            console.log("published", stored, "records to", destination,
                        "still cached:", TelemetryStatus.cachedCount)
        }
    }

    property Timer timer: Timer {
        interval: 5
        repeat: true
        running: true
        onTriggered: {
            root.recorder.tick += 1
            root.recorder.record()
            if (root.recorder.tick >= recordCount) {
                running = false
                root.finished = true
            }
        }
    }
}
