#include "window/progress_display.h"

#include "window/progress_scale.h"

#include <QLabel>
#include <QProgressBar>

ProgressDisplay::ProgressDisplay(QLabel *status, QProgressBar *bar, QObject *parent)
    : QObject(parent), status_label(status), progress_bar(bar)
{
    interval.setSingleShot(true);
    interval.setInterval(INTERVAL_MS);
    connect(&interval, &QTimer::timeout, this, &ProgressDisplay::show_pending);
}

void ProgressDisplay::report(qint64 bytes_read, qint64 bytes_total, const QString &status)
{
    if (interval.isActive()) {
        pending = true;
        pending_read = bytes_read;
        pending_total = bytes_total;
        pending_status = status;
        return;
    }
    apply(bytes_read, bytes_total, status);
    interval.start();
}

void ProgressDisplay::flush()
{
    interval.stop();
    show_pending();
}

// The interval is over: what waited is shown, and the next interval begins;
// with nothing waiting the next report is shown at once.
void ProgressDisplay::show_pending()
{
    if (!pending)
        return;
    pending = false;
    apply(pending_read, pending_total, pending_status);
    pending_status.clear();
    interval.start();
}

// The status text first, then the bar's maximum before its value. A progress
// bar repaints itself on the spot when its value moves a visible step; with
// its updates held off it only marks itself for the next paint, which
// enabling them again asks for.
void ProgressDisplay::apply(qint64 bytes_read, qint64 bytes_total, const QString &status)
{
    status_label->setText(status);
    const ProgressBarRange range = progress_bar_range(bytes_read, bytes_total);
    progress_bar->setUpdatesEnabled(false);
    progress_bar->setMaximum(range.maximum);
    progress_bar->setValue(range.value);
    progress_bar->setUpdatesEnabled(true);
}
