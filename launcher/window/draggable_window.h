#pragma once

#include <QMainWindow>
#include <QPoint>

// A frameless main window that the player moves by pressing the left mouse
// button anywhere a child widget does not consume the press, and dragging.
class DraggableWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit DraggableWindow(QWidget *parent);
    ~DraggableWindow() override;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    bool dragging = false;
    QPoint drag_offset;
};
