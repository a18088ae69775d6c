#include "x_driver.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

QString XDriver::run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(30000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString XDriver::wait_for_window(const QString &title_regex, int timeout_ms)
{
    QElapsedTimer timer;
    timer.start();
    do {
        const QStringList ids = run(QStringLiteral("xdotool"),
                                    {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                     QStringLiteral("--name"), title_regex})
                                    .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (!ids.isEmpty())
            return ids.last();
        QThread::msleep(100);
    } while (timer.elapsed() < timeout_ms);
    return QString();
}

bool XDriver::is_visible(const QString &window_id)
{
    const QStringList ids = run(QStringLiteral("xdotool"),
                                {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                 QStringLiteral("--name"), QStringLiteral(".")})
                                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return ids.contains(window_id);
}

QRect XDriver::geometry(const QString &window_id)
{
    QRect rect;
    const QStringList lines =
        run(QStringLiteral("xdotool"),
            {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window_id})
            .split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const int value = line.section(QLatin1Char('='), 1).toInt();
        if (line.startsWith(QLatin1String("X=")))
            rect.moveLeft(value);
        else if (line.startsWith(QLatin1String("Y=")))
            rect.moveTop(value);
        else if (line.startsWith(QLatin1String("WIDTH=")))
            rect.setWidth(value);
        else if (line.startsWith(QLatin1String("HEIGHT=")))
            rect.setHeight(value);
    }
    return rect;
}

void XDriver::click(const QString &window_id, const QPoint &at)
{
    const QPoint screen = geometry(window_id).topLeft() + at;
    run(QStringLiteral("xdotool"),
        {QStringLiteral("mousemove"), QString::number(screen.x()), QString::number(screen.y()),
         QStringLiteral("click"), QStringLiteral("1")});
}

void XDriver::type(const QString &text)
{
    run(QStringLiteral("xdotool"),
        {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), text});
}

void XDriver::key(const QString &key_name)
{
    run(QStringLiteral("xdotool"), {QStringLiteral("key"), key_name});
}

bool XDriver::screenshot(const QString &png_path)
{
    QProcess process;
    process.start(QStringLiteral("import"),
                  {QStringLiteral("-window"), QStringLiteral("root"), png_path});
    return process.waitForFinished(30000) && process.exitCode() == 0;
}
