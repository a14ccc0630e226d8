// The stress program. Without arguments it runs the short form that the test command runs;
//   korvelstress --load-seconds 600 --exit-processes 1000
// is the long form, run by hand. --table FILE also writes the table it prints into FILE. It starts
// itself again for the processes it observes.
#include "stress.h"

#include "testsupport.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    using namespace kl::telemetry;
    const QStringList modes { QStringLiteral("worker"), QStringLiteral("exit-record"),
                              QStringLiteral("exit-upload") };
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (modes.contains(mode)) {
        QCoreApplication app(argc, argv);
        return stress::runProcess(mode, app.arguments().value(2), app.arguments().value(3));
    }
    // Its own cache, temp directory and IPC namespace, which every process it starts shares.
    test::IsolatedEnvironment environment;
    QCoreApplication app(argc, argv);
    return stress::runController(app.arguments().mid(1));
}
