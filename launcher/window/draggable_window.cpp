#include "window/draggable_window.h"

#include <QMouseEvent>

DraggableWindow::DraggableWindow(QWidget *parent) : QMainWindow(parent) { }

DraggableWindow::~DraggableWindow() = default;

void DraggableWindow::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        drag_offset = event->pos();
        dragging = true;
    }
}

void DraggableWindow::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        dragging = false;
}

void DraggableWindow::mouseMoveEvent(QMouseEvent *event)
{
    // The held buttons are not examined: a drag lasts until the left button is released.
    if (dragging)
        move(pos() + event->pos() - drag_offset);
}
