import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// Asks first; then the application, what it sent, and the privacy settings, one tab each.
ApplicationWindow {
    id: window

    readonly property Telemetry telemetry: Telemetry {}
    readonly property bool decided: telemetry.consent.decided
    property bool startupRecorded: false

    width: 480
    height: 720
    visible: true
    title: qsTr("Korvel consent example")

    // Once a run, as soon as the user allows it.
    function recordStartup() {
        if (!decided || startupRecorded)
            return
        startupRecorded = true
        telemetry.startup.milliseconds = Date.now() - startedAt
        telemetry.startup.record()
    }

    Component.onCompleted: recordStartup()
    onDecidedChanged: recordStartup()

    header: TabBar {
        id: tabs
        visible: window.decided

        TabButton {
            objectName: "homeTab"
            text: qsTr("Home")
        }
        TabButton {
            objectName: "sentTab"
            text: qsTr("Sent")
        }
        TabButton {
            objectName: "privacyTab"
            text: qsTr("Privacy")
        }
    }

    StackLayout {
        anchors.fill: parent
        currentIndex: window.decided ? tabs.currentIndex + 1 : 0

        FirstRunPage {
            consent: window.telemetry.consent
            context: window.telemetry.context
        }
        HomePage {
            telemetry: window.telemetry
        }
        SentPage {
            model: window.telemetry.sent
        }
        PrivacyPage {
            consent: window.telemetry.consent
            context: window.telemetry.context
        }
    }
}
