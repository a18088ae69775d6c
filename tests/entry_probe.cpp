// A program with the launcher's entry and its choice of game folder, for
// tst_files: it writes, one per line in UTF-8, the arguments Qt reads, the
// game folder GameFolder::of_launcher() chooses and the working directory
// then, to the file its first argument names, and exits with argc. On
// Windows its entry is Qt's WinMain adapter, as the launcher's is.
#include "files/game_folder.h"

#include <QApplication>
#include <QDir>
#include <QFile>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2)
        return 0;
    const QString game = GameFolder::of_launcher().path();
    QFile out(arguments.at(1));
    if (!out.open(QIODevice::WriteOnly))
        return 0;
    out.write(arguments.mid(1).join(QLatin1Char('\n')).toUtf8() + '\n');
    out.write(game.toUtf8() + '\n');
    out.write(QDir::currentPath().toUtf8() + '\n');
    return argc;
}
