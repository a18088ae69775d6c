#include "game/game_window.h"

#include "game/game_report.h"

#include <QApplication>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QString shown(const QJsonValue &value)
{
    return value.isNull() ? QStringLiteral("(not set)") : value.toString();
}

} // namespace

GameWindow::GameWindow(const QJsonObject &report, QWidget *parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Orvex"));
    auto *layout = new QVBoxLayout(this);
    auto *title = new QLabel(QStringLiteral("<h2>Orvex</h2><p>The game has started.</p>"), this);
    layout->addWidget(title);

    auto *form = new QFormLayout;
    const QJsonValue cookie = report.value(QStringLiteral("ORVEX_PLAYCOOKIE"));
    form->addRow(
        QStringLiteral("Play cookie:"),
        new QLabel(cookie.isNull() ? shown(cookie) : GameReport::masked(cookie.toString()), this));
    for (const char *name : {"ORVEX_GAMESERVER", "ORVEX_DIST", "ORVEX_DEV"})
        form->addRow(QString::fromLatin1(name) + QLatin1Char(':'),
                     new QLabel(shown(report.value(QString::fromLatin1(name))), this));
    form->addRow(QStringLiteral("game_api.txt:"),
                 new QLabel(shown(report.value(QStringLiteral("game_api"))), this));
    layout->addLayout(form);

    auto *quit = new QPushButton(QStringLiteral("Quit"), this);
    connect(quit, &QPushButton::clicked, qApp, &QApplication::quit);
    layout->addWidget(quit);
    resize(420, 220);
}
