// The launcher's update road without its window, run as a child process by
// tst_faults so that a test can kill it in the middle of an update and start
// it again: reads the manifest under BASE_URL with file checks, runs the
// update in the working directory and prints each error as "code: text" and
// the end as "finished" or "failed" (exit status 0 or 1).
//   update_driver BASE_URL CA_PEM_FILE
#include "app/constants.h"
#include "app/tls_setup.h"
#include "updater/updater.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>
#include <QtConcurrent/QtConcurrentRun>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: update_driver BASE_URL CA_PEM_FILE\n");
        return 2;
    }
    QFile ca(QString::fromLocal8Bit(argv[2]));
    if (!ca.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "update_driver: cannot read %s\n", argv[2]);
        return 2;
    }
    trust_additional_ca(ca.readAll());

    Updater updater(QUrl(QString::fromLocal8Bit(argv[1])));
    QtConcurrent::run(&updater, &Updater::read_manifest, true, MANIFEST_NAME).waitForFinished();

    QTextStream out(stdout);
    QObject::connect(&updater, &Updater::download_error, [&out](int code, const QString &what) {
        out << code << ": " << what << "\n";
        out.flush();
    });
    QObject::connect(&updater, &Updater::update_finished, &app, [&out](bool success) {
        out << (success ? "finished" : "failed") << "\n";
        out.flush();
        QCoreApplication::exit(success ? 0 : 1);
    });
    QMetaObject::invokeMethod(&updater, &Updater::start_update, Qt::QueuedConnection);
    return app.exec();
}
