import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import Korvel.Telemetry 1.0

// The four levels, each with what choosing it adds: the description of each metric type of
// the level and an example of its records, as the application would send them now.
ColumnLayout {
    id: choice

    property TelemetryConsent consent
    property ContextRecorder context
    // The level shown as chosen; -1 for none. Clicks only ask for a change through chosen().
    property int selected: -1
    signal chosen(int level)

    spacing: 12

    Repeater {
        model: [
            { level: TelemetryConsent.NoTelemetry, key: "NoTelemetry", name: qsTr("Nothing"),
              text: qsTr("The application sends nothing.") },
            { level: TelemetryConsent.Basic, key: "Basic", name: qsTr("Basic"),
              text: qsTr("Facts about the application and your system.") },
            { level: TelemetryConsent.Usage, key: "Usage", name: qsTr("Usage"),
              text: qsTr("Also which parts of the application you use.") },
            { level: TelemetryConsent.Detailed, key: "Detailed", name: qsTr("Detailed"),
              text: qsTr("Everything the application records.") }
        ]

        delegate: ColumnLayout {
            required property var modelData
            Layout.fillWidth: true
            spacing: 4

            RadioButton {
                objectName: "level" + modelData.key
                text: modelData.name
                font.bold: true
                checkable: false
                checked: choice.selected === modelData.level
                onClicked: choice.chosen(modelData.level)
            }
            Label {
                Layout.fillWidth: true
                Layout.leftMargin: 40
                text: modelData.text
                wrapMode: Text.Wrap
            }
            Repeater {
                model: choice.consent.metrics.filter(metric => metric.level === modelData.level)
                delegate: MetricDescription {
                    Layout.fillWidth: true
                    Layout.leftMargin: 40
                }
            }
            Repeater {
                model: choice.context ? choice.context.describeSources().filter(
                                            source => source.level === modelData.level)
                                      : []
                delegate: MetricDescription {
                    Layout.fillWidth: true
                    Layout.leftMargin: 52
                    description: modelData.description
                    example: JSON.stringify(modelData.value)
                }
            }
        }
    }
}
