import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// Every record a server stored, newest first, as it was sent.
Page {
    id: page

    property var model

    objectName: "sentPage"

    ListView {
        id: list
        objectName: "sentList"
        anchors.fill: parent
        anchors.margins: 16
        clip: true
        spacing: 12
        model: page.model
        ScrollBar.vertical: ScrollBar {}

        delegate: ColumnLayout {
            required property date sentAt
            required property string destination
            required property string type
            required property string document

            width: list.width
            spacing: 2

            Label {
                text: type
                font.bold: true
            }
            Label {
                Layout.fillWidth: true
                text: qsTr("%1, to %2").arg(sentAt.toLocaleString(Qt.locale(), Locale.ShortFormat))
                                      .arg(destination)
                elide: Text.ElideMiddle
            }
            Label {
                Layout.fillWidth: true
                text: document
                font.family: "monospace"
                font.pointSize: 8
                wrapMode: Text.WrapAnywhere
                maximumLineCount: 4
                elide: Text.ElideRight
            }
        }
    }

    Label {
        anchors.centerIn: parent
        visible: list.count === 0
        text: qsTr("Nothing was sent.")
    }
}
