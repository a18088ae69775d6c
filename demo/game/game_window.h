#pragma once

#include <QJsonObject>
#include <QWidget>

// A small window that shows what the game received, with a Quit button.
class GameWindow : public QWidget
{
    Q_OBJECT

public:
    explicit GameWindow(const QJsonObject &report, QWidget *parent = nullptr);
};
