import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// One metric type as TelemetryConsent.metrics lists it: what it is for, and an example record;
// or one source of facts, with what it holds now.
ColumnLayout {
    required property var modelData
    property string description: modelData.described
                                 ? modelData.description
                                 : qsTr("%1 (not described)").arg(modelData.type)
    property string example: modelData.example

    spacing: 2

    Label {
        Layout.fillWidth: true
        text: "• " + description
        wrapMode: Text.Wrap
    }
    Label {
        Layout.fillWidth: true
        Layout.leftMargin: 12
        text: example
        font.family: "monospace"
        font.pointSize: 8
        opacity: 0.7
        wrapMode: Text.WrapAnywhere
    }
}
