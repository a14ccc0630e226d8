import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// The application's own work, which its records are about.
Page {
    id: page

    property Telemetry telemetry

    objectName: "homePage"

    function act(action) {
        telemetry.action.action = action
        telemetry.action.record()
    }

    function open(kind, kilobytes) {
        act("open")
        telemetry.document.kind = kind
        telemetry.document.kilobytes = kilobytes
        telemetry.document.record()
    }

    ColumnLayout {
        anchors.centerIn: parent
        spacing: 12

        Button {
            objectName: "openButton"
            text: qsTr("Open a document")
            onClicked: page.open("text", 12)
        }
        Button {
            objectName: "exportButton"
            text: qsTr("Export")
            onClicked: page.act("export")
        }
    }
}
