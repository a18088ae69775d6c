// Stand-in for the game: shows what the launcher handed over. With
// ORVEX_DEMO_RECORD naming a file it writes the report there and quits at
// once, which is how the demo and the tests see what the game received.
#include "game/game_report.h"
#include "game/game_window.h"

#include <QApplication>

int main(int argc, char **argv)
{
    const QJsonObject report = GameReport::collect();
    const QString record = qEnvironmentVariable("ORVEX_DEMO_RECORD");
    if (!record.isEmpty())
        return GameReport::write(report, record) ? 0 : 1;

    QApplication app(argc, argv);
    GameWindow window(report);
    window.show();
    return app.exec();
}
