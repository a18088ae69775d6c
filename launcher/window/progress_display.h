#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QLabel;
class QProgressBar;

// Puts an update's progress (status text, then the bar's maximum and value)
// on the window at a human rate. A report after a quiet spell is shown at
// once; reports that follow within INTERVAL_MS only replace the one waiting,
// which is shown when the spell ends, so a run of a thousand small files
// costs the window about thirty paints a second, not one per file. Nothing
// is painted on the spot: the widgets are changed and asked to repaint from
// the event loop, so the update never waits for the window system.
class ProgressDisplay : public QObject
{
    Q_OBJECT

public:
    static constexpr int INTERVAL_MS = 30;

    ProgressDisplay(QLabel *status, QProgressBar *bar, QObject *parent = nullptr);

    // A progress report: shown now, or kept until the interval is over.
    void report(qint64 bytes_read, qint64 bytes_total, const QString &status);
    // Shows the report still waiting, if any. Call before anything else is
    // put on the status label (an error, the game's start), so the last
    // state is shown and a late report never overwrites what came after it.
    void flush();

private:
    void show_pending();
    void apply(qint64 bytes_read, qint64 bytes_total, const QString &status);

    QLabel *const status_label;
    QProgressBar *const progress_bar;
    QTimer interval;
    bool pending = false;
    qint64 pending_read = 0;
    qint64 pending_total = 0;
    QString pending_status;
};
