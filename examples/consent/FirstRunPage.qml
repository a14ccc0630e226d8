import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import Korvel.Telemetry 1.0

// The question asked before anything is recorded.
Page {
    id: page

    property TelemetryConsent consent
    property ContextRecorder context

    objectName: "firstRunPage"
    title: qsTr("Before you start")

    footer: DialogButtonBox {
        Button {
            objectName: "confirmButton"
            text: qsTr("Confirm")
            enabled: levels.selected >= 0
            onClicked: page.consent.setLevel(levels.selected)
        }
    }

    Flickable {
        id: view
        anchors.fill: parent
        contentHeight: content.height
        clip: true
        ScrollBar.vertical: ScrollBar {}

        ColumnLayout {
            id: content
            width: view.width
            spacing: 16

            Label {
                Layout.fillWidth: true
                Layout.margins: 16
                text: qsTr("This application can send reports about how it runs and how you use "
                           + "it, to help its developers. Choose what it may send; you can "
                           + "change your mind at any time in its privacy settings.")
                wrapMode: Text.Wrap
            }
            LevelChoice {
                id: levels
                Layout.fillWidth: true
                Layout.leftMargin: 16
                Layout.rightMargin: 16
                consent: page.consent
                context: page.context
                onChosen: function (level) { levels.selected = level }
            }
        }
    }
}
