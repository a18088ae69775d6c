// The launcher window: initial state, dragging, close, scaling, graphics
// choice file, link buttons and the news page's links, text and look, with
// the web view on Linux and the text browser on Windows (news_probe).
#include "app/constants.h"
#include "news_probe.h"
#include "widget_lookup.h"
#include "window/display_scaling.h"
#include "window/launcher_window.h"
#include "window/progress_scale.h"

#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QAbstractScrollArea>
#include <QScrollBar>
#include <QtTest>

#include <memory>

// Records the addresses handed to the desktop services instead of opening a browser.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

// Counts the paint events a widget receives.
class PaintCounter : public QObject
{
    Q_OBJECT
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

class TestWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> work_dir;
    QString previous_dir;
    UrlRecorder recorder;

    static void write_file(const QString &name, const QByteArray &bytes)
    {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    static QByteArray read_file(const QString &name)
    {
        QFile file(name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    static void send_mouse(QWidget &target, QEvent::Type type, QPoint pos, Qt::MouseButton button,
                           Qt::MouseButtons buttons)
    {
        QMouseEvent event(type, pos, target.mapToGlobal(pos), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(&target, &event);
    }

private slots:
    void initTestCase()
    {
        for (const char *scheme : {"http", "https", "mailto", "file"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &recorder, "open");
    }

    void init()
    {
        work_dir = std::make_unique<QTemporaryDir>();
        previous_dir = QDir::currentPath();
        QDir::setCurrent(work_dir->path());
        recorder.opened.clear();
    }

    void cleanup()
    {
        QDir::setCurrent(previous_dir);
        work_dir.reset();
    }

    void starts_on_the_login_form()
    {
        LauncherWindow window;
        QCOMPARE(child<QLabel>(window, "label_status")->text(), TEXT_LOGIN);
        QVERIFY(child<QProgressBar>(window, "progress_bar")->isHidden());
        for (const char *name :
             {"label_graphics", "radio_opengl", "radio_directx9", "push_button_continue"})
            QVERIFY2(child<QWidget>(window, name)->isHidden(), name);
        for (const char *name :
             {"push_button_play", "line_edit_username", "line_edit_password", "label_name_pass",
              "push_button_forgot_pw", "push_button_create_acct"})
            QVERIFY2(!child<QWidget>(window, name)->isHidden(), name);
        // Beside the login form and usable from the first start on.
        auto *options = child<QPushButton>(window, "push_button_options");
        QVERIFY(!options->isHidden());
        QVERIFY(options->isEnabled());
        QCOMPARE(window.focusWidget(), child<QWidget>(window, "line_edit_username"));
        QCOMPARE(child<QLineEdit>(window, "line_edit_username")->maxLength(), 64);
        QCOMPARE(child<QLineEdit>(window, "line_edit_password")->maxLength(), 64);
        QCOMPARE(window.minimumSize(), QSize(806, 560));
        QCOMPARE(window.maximumSize(), QSize(806, 560));
        QCOMPARE(window.windowFlags() & Qt::FramelessWindowHint, Qt::FramelessWindowHint);
        QVERIFY(window.testAttribute(Qt::WA_TranslucentBackground));
        QCOMPARE(window.windowTitle(), QStringLiteral("Saltmarch"));
    }

    void login_panel_keeps_name_and_clears_password()
    {
        LauncherWindow window;
        child<QLineEdit>(window, "line_edit_username")->setText(QStringLiteral("mariner"));
        child<QLineEdit>(window, "line_edit_password")->setText(QStringLiteral("secret"));
        window.hide_login_panel(true);
        QVERIFY(!child<QProgressBar>(window, "progress_bar")->isHidden());
        QVERIFY(child<QLabel>(window, "label_status")->text().isEmpty());
        window.show_login_panel();
        QCOMPARE(child<QLineEdit>(window, "line_edit_username")->text(), QStringLiteral("mariner"));
        QVERIFY(child<QLineEdit>(window, "line_edit_password")->text().isEmpty());
        QVERIFY(child<QProgressBar>(window, "progress_bar")->isHidden());
    }

    void every_image_resource_loads()
    {
        LauncherWindow window; // registers the compiled-in resources
        for (const char *name :
             {":/ICON/assets/ICON.ico", ":/JPEG/assets/account_name.jpg",
              ":/JPEG/assets/PLAY_DISABLED.jpg", ":/JPEG/assets/OPTIONS_DISABLED.jpg",
              ":/JPEG/assets/CLOSE_ROLLOVER.png", ":/JPEG/assets/FORGOT_DOWN.jpg",
              ":/JPEG/assets/CONTINUE_NORMAL.jpg"})
            QVERIFY2(!QImage(QString::fromLatin1(name)).isNull(), name);
        const QImage background(QStringLiteral(":/JPEG/assets/BACKGROUND.png"));
        QCOMPARE(background.size(), QSize(806, 560));
        QVERIFY(background.hasAlphaChannel());
        QCOMPARE(qAlpha(background.pixel(0, 0)), 0); // rounded, transparent corner
        QCOMPARE(QImage(QStringLiteral(":/JPEG/assets/PLAY_DISABLED.jpg")).size(), QSize(82, 30));
    }

    void disabled_buttons_show_their_dimmed_face_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("image");
        QTest::newRow("play") << "push_button_play"
                              << ":/JPEG/assets/PLAY_DISABLED.jpg";
        QTest::newRow("options") << "push_button_options"
                                 << ":/JPEG/assets/OPTIONS_DISABLED.jpg";
    }

    void disabled_buttons_show_their_dimmed_face()
    {
        QFETCH(QString, button);
        QFETCH(QString, image);
        LauncherWindow window;
        window.show();
        auto *target = child<QPushButton>(window, qPrintable(button));
        const QImage enabled = target->grab().toImage().convertToFormat(QImage::Format_RGB32);
        target->setEnabled(false);
        const QImage disabled = target->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QImage face = QImage(image).convertToFormat(QImage::Format_RGB32);
        QVERIFY(enabled != disabled);
        // The face sits at the top left; the button may be a little larger than the image.
        QCOMPARE(disabled.copy(face.rect()), face);
    }

    void left_drag_moves_the_window_pixel_for_pixel()
    {
        LauncherWindow window;
        window.move(100, 100);
        const QPoint start = window.pos();
        send_mouse(window, QEvent::MouseButtonPress, QPoint(10, 10), Qt::LeftButton,
                   Qt::LeftButton);
        send_mouse(window, QEvent::MouseMove, QPoint(25, 3), Qt::NoButton, Qt::LeftButton);
        QCOMPARE(window.pos(), start + QPoint(15, -7));
        // A right click during the drag neither ends nor disturbs it.
        send_mouse(window, QEvent::MouseButtonPress, QPoint(10, 10), Qt::RightButton,
                   Qt::LeftButton | Qt::RightButton);
        send_mouse(window, QEvent::MouseButtonRelease, QPoint(10, 10), Qt::RightButton,
                   Qt::LeftButton);
        send_mouse(window, QEvent::MouseMove, QPoint(11, 10), Qt::NoButton, Qt::LeftButton);
        QCOMPARE(window.pos(), start + QPoint(16, -7));
        send_mouse(window, QEvent::MouseButtonRelease, QPoint(11, 10), Qt::LeftButton,
                   Qt::NoButton);
        send_mouse(window, QEvent::MouseMove, QPoint(50, 50), Qt::NoButton, Qt::NoButton);
        QCOMPARE(window.pos(), start + QPoint(16, -7));
    }

    void right_drag_and_press_on_a_child_do_not_move_the_window()
    {
        LauncherWindow window;
        window.move(100, 100);
        const QPoint start = window.pos();
        send_mouse(window, QEvent::MouseButtonPress, QPoint(10, 10), Qt::RightButton,
                   Qt::RightButton);
        send_mouse(window, QEvent::MouseMove, QPoint(40, 40), Qt::NoButton, Qt::RightButton);
        QCOMPARE(window.pos(), start);
        // The line edit consumes the press, so the window never starts a drag.
        QTest::mousePress(child<QLineEdit>(window, "line_edit_username"), Qt::LeftButton);
        send_mouse(window, QEvent::MouseMove, QPoint(40, 40), Qt::NoButton, Qt::LeftButton);
        QCOMPARE(window.pos(), start);
    }

    void close_button_ends_the_event_loop_with_status_0()
    {
        LauncherWindow window;
        window.show();
        QTimer::singleShot(0, &window,
                           [&] { child<QPushButton>(window, "push_button_close")->click(); });
        QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!window.isVisible());
    }

    void scaling_follows_logical_dpi_data()
    {
        QTest::addColumn<double>("dpi");
        QTest::addColumn<int>("ten");
        QTest::addColumn<int>("nine");
        QTest::addColumn<int>("icon");
        QTest::newRow("72") << 72.0 << 13 << 12 << 21;
        QTest::newRow("96") << 96.0 << 10 << 9 << 16;
        QTest::newRow("120") << 120.0 << 8 << 7 << 12;
        QTest::newRow("144 truncates") << 144.0 << 6 << 6 << 10;
        QTest::newRow("192") << 192.0 << 5 << 4 << 8;
        QTest::newRow("0 unchanged") << 0.0 << 10 << 9 << 16;
        QTest::newRow("negative unchanged") << -96.0 << 10 << 9 << 16;
    }

    void scaling_follows_logical_dpi()
    {
        QFETCH(double, dpi);
        QFETCH(int, ten);
        QFETCH(int, nine);
        QFETCH(int, icon);
        const float factor = display_scale_factor(dpi);
        QCOMPARE(scale_by(10, factor), ten);
        QCOMPARE(scale_by(9, factor), nine);
        QCOMPARE(scale_by(QSize(16, 16), factor), QSize(icon, icon));
    }

    void graphics_choice_is_read_from_the_file_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("opengl");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("first start") << false << QByteArray() << true << QByteArray("pandagl");
        QTest::newRow("pandagl") << true << QByteArray("pandagl") << true << QByteArray("pandagl");
        QTest::newRow("pandadx9") << true << QByteArray("pandadx9") << false
                                  << QByteArray("pandadx9");
        QTest::newRow("line feed")
            << true << QByteArray("pandagl\n") << false << QByteArray("pandagl\n");
        QTest::newRow("empty") << true << QByteArray() << false << QByteArray();
        QTest::newRow("other") << true << QByteArray("vulkan") << false << QByteArray("vulkan");
    }

    void graphics_choice_is_read_from_the_file()
    {
        QFETCH(bool, exists);
        QFETCH(QByteArray, content);
        QFETCH(bool, opengl);
        QFETCH(QByteArray, after);
        if (exists)
            write_file(GAME_API_FILE, content);
        LauncherWindow window;
        QCOMPARE(child<QRadioButton>(window, "radio_opengl")->isChecked(), opengl);
        QCOMPARE(child<QRadioButton>(window, "radio_directx9")->isChecked(), !opengl);
        QCOMPARE(read_file(GAME_API_FILE), after);
    }

    void continue_writes_exactly_the_choice()
    {
        write_file(GAME_API_FILE, "pandadx9\r\nextra");
        LauncherWindow window;
        child<QLineEdit>(window, "line_edit_password")->setText(QStringLiteral("secret"));
        QVERIFY(QMetaObject::invokeMethod(&window, "on_push_button_options_clicked"));
        QCOMPARE(child<QLabel>(window, "label_status")->text(), TEXT_DISPLAY_OPTIONS);
        QVERIFY(child<QLineEdit>(window, "line_edit_password")->isHidden());
        QVERIFY(child<QPushButton>(window, "push_button_options")->isHidden());
        child<QRadioButton>(window, "radio_opengl")->click();
        child<QRadioButton>(window, "radio_directx9")->click();
        child<QRadioButton>(window, "radio_opengl")->click();
        QCOMPARE(read_file(GAME_API_FILE),
                 QByteArray("pandadx9\r\nextra")); // toggling writes nothing
        child<QPushButton>(window, "push_button_continue")->click();
        QCOMPARE(read_file(GAME_API_FILE), QByteArray("pandagl"));
        QCOMPARE(child<QLabel>(window, "label_status")->text(), TEXT_LOGIN);
        QVERIFY(child<QLineEdit>(window, "line_edit_password")->text().isEmpty());
        QVERIFY(!child<QPushButton>(window, "push_button_options")->isHidden());
    }

    void link_buttons_open_their_exact_addresses_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("address");
        QTest::newRow("home") << "push_button_home_page" << URL_HOME;
        QTest::newRow("support") << "push_button_support" << URL_FAQ;
        QTest::newRow("forgot") << "push_button_forgot_pw" << URL_RESET_PASSWORD;
        QTest::newRow("create") << "push_button_create_acct" << URL_REGISTER;
        QTest::newRow("community") << "push_button_community" << URL_FORUMS;
        QTest::newRow("guide") << "push_button_guide" << URL_WIKI;
        QTest::newRow("manage") << "push_button_manage" << URL_ACCOUNT;
        QTest::newRow("release") << "push_button_release" << URL_RELEASES;
    }

    void link_buttons_open_their_exact_addresses()
    {
        QFETCH(QString, button);
        QFETCH(QString, address);
        LauncherWindow window;
        child<QPushButton>(window, qPrintable(button))->click();
        QCOMPARE(recorder.opened.size(), 1);
        // Exactly as the constant has it: the home page keeps no trailing slash.
        QCOMPARE(recorder.opened.first().toString(), address);
    }

    void news_links_open_only_web_and_mail_addresses()
    {
        LauncherWindow window;
        for (const char *address :
             {"file:///usr/bin/xterm", "javascript:alert(1)", "smb://host/share",
              "https://www.orvex.example/news/1", "mailto:help@orvex.example"})
            QVERIFY(QMetaObject::invokeMethod(&window, "link_clicked_webview",
                                              Q_ARG(QUrl, QUrl(QString::fromLatin1(address)))));
        QCOMPARE(recorder.opened.size(), 2);
        QCOMPARE(recorder.opened.at(0).scheme(), QStringLiteral("https"));
        QCOMPARE(recorder.opened.at(1).scheme(), QStringLiteral("mailto"));
    }

    void news_page_delegates_links_of_every_scheme_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("opened");
        QTest::newRow("https") << "https://www.orvex.example/news/1" << true;
        QTest::newRow("http") << "http://www.orvex.example/" << true;
        QTest::newRow("mailto") << "mailto:help@orvex.example" << true;
        QTest::newRow("file") << "file:///etc/hosts" << false;
        QTest::newRow("qrc") << "qrc:/JPEG/assets/BACKGROUND.png" << false;
        QTest::newRow("about") << "about:blank" << false;
    }

    void news_page_delegates_links_of_every_scheme()
    {
        QFETCH(QString, address);
        QFETCH(bool, opened);
        LauncherWindow window;
        window.show();
        auto *view = child<QWidget>(window, "webView");
        // The window's own news fetch reports first, so it cannot replace the page below.
        QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
        QCoreApplication::sendPostedEvents();
        const QString news = QStringLiteral("<p><a id=\"link\" href=\"%1\" style=\"display:block;"
                                            "height:60px\">Tide tables</a></p>")
                                 .arg(address);
        QVERIFY(news_probe::show(window, news.toUtf8()));
        QSignalSpy clicked(view, news_probe::link_signal());
        const QRect link = news_probe::link_rect(window, QStringLiteral("Tide tables"));
        QVERIFY(!link.isEmpty());
        // The text browser takes its clicks on its viewport.
        QWidget *target = view->findChild<QWidget *>(QStringLiteral("qt_scrollarea_viewport"));
        QTest::mouseClick(target ? target : view, Qt::LeftButton, Qt::NoModifier,
                          target ? link.center() - target->pos() : link.center());
        QTRY_COMPARE_WITH_TIMEOUT(clicked.size(), 1, 10000);
        QTest::qWait(200); // a navigation would have begun by now
        QCOMPARE(news_probe::text(window).trimmed(), QStringLiteral("Tide tables"));
        QCOMPARE(recorder.opened.size(), opened ? 1 : 0);
    }

    void news_text_ends_at_the_first_nul()
    {
        LauncherWindow window;
        QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
        QCoreApplication::sendPostedEvents();
        QVERIFY(news_probe::show(window, QByteArray("<p>K\xc3\xb8ge</p>\0<p>hidden</p>", 30)));
        QCOMPARE(news_probe::text(window).trimmed(), QString::fromUtf8("K\xc3\xb8ge"));
    }

    void news_text_colour_data()
    {
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<QString>("colour");
        // Light on the dark panel when the page sets no colour of its own.
        QTest::newRow("fallback text") << TEXT_CANNOT_DISPLAY_NEWS.toUtf8() << "rgb(235, 230, 215)";
        QTest::newRow("page's own colour")
            << QByteArray("<style>p { color: #102030 }</style><p>Tide tables</p>")
            << "rgb(16, 32, 48)";
    }
    void news_text_colour()
    {
        QFETCH(QByteArray, page);
        QFETCH(QString, colour);
        LauncherWindow window;
        // The window's own news fetch reports first, so it cannot replace the page below.
        QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
        QCoreApplication::sendPostedEvents();
        QVERIFY(news_probe::show(window, page));
        QCOMPARE(news_probe::text_colour(window), colour);
    }

    // The shipped font draws the page's sans-serif on every system, at the
    // page's line spacing: a one-line paragraph of 12 px is one line high.
    void news_page_font_and_line_spacing()
    {
        LauncherWindow window;
        window.show();
        QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
        QCoreApplication::sendPostedEvents();
        QVERIFY(news_probe::show(window, "<style>body { font-family: sans-serif }"
                                         "p { font-size: 12px; margin: 0 }</style>"
                                         "<p id=\"line\"><a name=\"line\">Tide</a> tables</p>"
                                         "<p>Ferries</p>"));
        QCOMPARE(news_probe::sans_family(window), QStringLiteral("DejaVu Sans"));
        const int height = news_probe::element_height(window, QStringLiteral("line"));
        QVERIFY2(height >= 12 && height <= 18, qPrintable(QString::number(height)));
    }

    // The page's scroll bar wears the window's colours, not the system's.
    void news_scroll_bar_takes_the_window_style()
    {
        LauncherWindow window;
        window.show();
        QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
        QCoreApplication::sendPostedEvents();
        QByteArray page;
        for (int i = 0; i < 80; ++i)
            page += "<p>Tide tables</p>";
        QVERIFY(news_probe::show(window, page));
        auto *area = qobject_cast<QAbstractScrollArea *>(child<QWidget>(window, "webView"));
        if (!area)
            QSKIP("the web view draws its own scroll bar");
        QScrollBar *bar = area->verticalScrollBar();
        QTRY_VERIFY_WITH_TIMEOUT(bar->isVisible(), 10000);
        const QImage image = bar->grab().toImage();
        QVERIFY(!image.isNull());
        // The track's dark brown, and nowhere a system white.
        bool track = false;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor colour = image.pixelColor(x, y);
                track = track || colour == QColor(74, 46, 39);
                QVERIFY2(colour.lightness() < 250,
                         qPrintable(QString("%1,%2 %3").arg(x).arg(y).arg(colour.name())));
            }
        }
        QVERIFY(track);
    }

    void shipped_font_and_its_licence_are_in_the_resources()
    {
        for (const char *name : {":/FONTS/DejaVuSans.ttf", ":/FONTS/DejaVuSans-Bold.ttf"})
            QVERIFY2(QFile(QString::fromLatin1(name)).size() > 100000, name);
        QFile licence(QStringLiteral(":/FONTS/LICENSE-DejaVu.txt"));
        QVERIFY(licence.open(QIODevice::ReadOnly));
        QVERIFY(licence.readAll().contains("Bitstream Vera"));
    }

    // The updater's reports as they reach the window: hundreds within one
    // turn of the event loop, then what follows the run.
    void progress_keeps_pace_without_painting_on_the_spot_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::newRow("more reports later") << "none";
        QTest::newRow("an error") << "error";
        QTest::newRow("a failed run") << "failed";
        QTest::newRow("the game's start") << "game";
    }
    void progress_keeps_pace_without_painting_on_the_spot()
    {
        QFETCH(QString, ending);
        LauncherWindow window;
        window.hide_login_panel(true);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window, 5000));
        auto *status = child<QLabel>(window, "label_status");
        auto *bar = child<QProgressBar>(window, "progress_bar");
        PaintCounter bar_paints, label_paints;
        bar->installEventFilter(&bar_paints);
        status->installEventFilter(&label_paints);
        // The status text each value of the bar came with.
        QStringList shown;
        connect(bar, &QProgressBar::valueChanged, this,
                [&](int value) { shown << QString::number(value) + " " + status->text(); });
        const auto report = [&window](qint64 read, qint64 total, const QString &text) {
            QVERIFY(QMetaObject::invokeMethod(&window, "download_progress", Qt::DirectConnection,
                                              Q_ARG(qint64, read), Q_ARG(qint64, total),
                                              Q_ARG(QString, text)));
        };
        // From half way on: the bar's first value moves it by a visible step,
        // which a progress bar would repaint on the spot.
        constexpr int reports = 1000;
        for (int i = reports / 2; i <= reports; ++i)
            report(i, reports, QString("step %1").arg(i));
        // The first is on the widgets at once, nothing was painted meanwhile.
        QCOMPARE(shown, QStringList {"500 step 500"});
        QCOMPARE(bar_paints.paints + label_paints.paints, 0);
        QCOMPARE(bar->maximum(), reports);
        const QString last = QString("%1 step %1").arg(reports);
        if (ending == "none") {
            QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 2, 2000);
            QCOMPARE(shown.last(), last);
            QTRY_VERIFY_WITH_TIMEOUT(bar_paints.paints > 0 && label_paints.paints > 0, 2000);
            // A report after a quiet spell is shown at once again (tried a
            // few times: on a loaded machine the spell may take longer).
            bool at_once = false;
            for (int attempt = 0; attempt < 20 && !at_once; ++attempt) {
                QTest::qWait(3 * 30);
                report(7, reports, "after");
                at_once = shown.last() == "7 after";
            }
            QVERIFY(at_once);
        } else if (ending == "error") {
            QVERIFY(QMetaObject::invokeMethod(&window, "download_error", Qt::DirectConnection,
                                              Q_ARG(int, 904), Q_ARG(QString, "x.dat.bz2")));
            QCOMPARE(shown.last(), last);
            QCOMPARE(status->text(), QString("904: x.dat.bz2"));
            // Nothing late overwrites the error.
            QTest::qWait(3 * 30);
            QCOMPARE(status->text(), QString("904: x.dat.bz2"));
        } else {
            QVERIFY(QMetaObject::invokeMethod(&window, "update_finished", Qt::DirectConnection,
                                              Q_ARG(bool, ending == "game")));
            QCOMPARE(shown.last(), last);
        }
        QCOMPARE(bar->value(), ending == "none" ? 7 : reports);
    }

    void progress_bar_range_scales_files_over_2_gib()
    {
        QCOMPARE(progress_bar_range(500, 1000).maximum, 1000);
        QCOMPARE(progress_bar_range(500, 1000).value, 500);
        const qint64 total = 6LL * 1024 * 1024 * 1024;
        const ProgressBarRange range = progress_bar_range(total / 4, total);
        QVERIFY(range.maximum > 0);
        QCOMPARE(qRound(100.0 * range.value / range.maximum), 25);
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
