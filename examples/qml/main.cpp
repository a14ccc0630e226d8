// Runs main.qml headless: a Recorder declared in QML records into one CouchDB database, and
// the application publishes what it recorded before it ends. The types come from the
// installed QML module Korvel.Telemetry (QML2_IMPORT_PATH finds one in a build tree).
//
//   korvel-qml-example SERVER DATABASE [COUNT]
#include <telemetry/publishing/publisher.h>

#include <QCoreApplication>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 3) {
        std::fprintf(stderr, "usage: korvel-qml-example SERVER DATABASE [COUNT]\n");
        return 1;
    }

    QQmlEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("serverUrl"), QUrl(arguments.at(1)));
    engine.rootContext()->setContextProperty(QStringLiteral("databaseName"), arguments.at(2));
    engine.rootContext()->setContextProperty(QStringLiteral("recordCount"),
                                             arguments.value(3, QStringLiteral("30")).toInt());
    QQmlComponent component(&engine, QUrl(QStringLiteral("qrc:/main.qml")));
    std::unique_ptr<QObject> root(component.create());
    if (!root) {
        std::fprintf(stderr, "%s\n", qPrintable(component.errorString()));
        return 1;
    }
    while (!root->property("finished").toBool())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return kl::telemetry::currentPublisher()->publishPending(110000).remaining == 0 ? 0 : 1;
}
