import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import Korvel.Telemetry 1.0

// Where users change their mind, and delete what the application recorded about them.
Page {
    id: page

    property TelemetryConsent consent
    property ContextRecorder context

    objectName: "privacyPage"

    footer: Pane {
        RowLayout {
            anchors.fill: parent

            Label {
                id: outcome
                Layout.fillWidth: true
                wrapMode: Text.Wrap
            }
            Button {
                objectName: "deleteButton"
                text: qsTr("Delete my data")
                onClicked: page.consent.deleteMyData()
            }
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

            LevelChoice {
                Layout.fillWidth: true
                Layout.margins: 16
                consent: page.consent
                context: page.context
                selected: page.consent.level
                onChosen: function (level) { page.consent.setLevel(level) }
            }
        }
    }

    Connections {
        target: page.consent
        function onDataDeleted(deleted) {
            outcome.text = deleted ? qsTr("Everything the application kept about you is deleted.")
                                   : qsTr("Your data could not be deleted; please try again.")
        }
    }
}
