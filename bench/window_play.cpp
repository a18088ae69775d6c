#include "window_play.h"

#include "x_driver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPoint>
#include <QProcess>
#include <QThread>

#include <unistd.h>

namespace {

// The form's fields in the window's own coordinates.
const QPoint USERNAME_FIELD(581, 229);
const QPoint PASSWORD_FIELD(581, 249);
// The longest road the benchmark waits for.
constexpr int ROAD_TIMEOUT_MS = 120000;

// User and system time of a process so far, from /proc; -1 when unknown.
double cpu_of(qint64 pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command's closing parenthesis; utime and stime
    // are the 14th and 15th of the whole line.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) /
        double(::sysconf(_SC_CLK_TCK));
}

} // namespace

WindowPlay play_to_game(const QString &launcher, const QString &install_dir,
                        const QString &record_path, const QString &user, const QString &password)
{
    QFile::remove(record_path);
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("ORVEX_DEMO_RECORD", record_path);
    for (const char *name : {"ORVEX_PLAYCOOKIE", "ORVEX_GAMESERVER", "ORVEX_DIST", "ORVEX_DEV"})
        env.remove(name);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(install_dir);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(launcher, QStringList());
    WindowPlay play;
    if (!process.waitForStarted(10000))
        return play;
    const QString window = XDriver::wait_for_window("^Saltmarch$", 20000);
    if (!window.isEmpty()) {
        // The start-up reads (versions, news) settle before the player types.
        QThread::msleep(1000);
        XDriver::click(window, USERNAME_FIELD);
        XDriver::type(user);
        XDriver::click(window, PASSWORD_FIELD);
        XDriver::type(password);
        const double cpu_before = cpu_of(process.processId());
        QElapsedTimer timer;
        timer.start();
        XDriver::key("Return");
        while (QFileInfo(record_path).size() <= 0 && process.state() == QProcess::Running &&
               timer.elapsed() < ROAD_TIMEOUT_MS)
            QThread::usleep(500);
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        const double cpu_after = cpu_of(process.processId());
        if (QFileInfo(record_path).size() > 0) {
            play.seconds = seconds;
            if (cpu_before >= 0 && cpu_after >= 0)
                play.cpu_seconds = cpu_after - cpu_before;
        }
    }
    process.kill();
    process.waitForFinished(10000);
    return play;
}
