// One copy per user: the built program is started as separate processes with
// a private HOME and runtime folder, from a private application folder.
#include <sys/stat.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <csignal>

#include "tests/gui/GuiTestSupport.h"

using namespace ts::gui::test;

class InstanceTest : public QObject {
    Q_OBJECT

    struct Station {
        ts::test::TempDir tmp;
        std::filesystem::path app = tmp.Path() / "app";
        std::filesystem::path run = tmp.Path() / "run";
        std::filesystem::path line = tmp.Path() / "line";

        Station() {
            MakeAppFolder(app);
            std::filesystem::copy_file(std::filesystem::path(ts::test::AppDir()) / "tagsmith",
                                       app / "tagsmith");
            std::filesystem::create_directories(run);
            ::chmod(run.c_str(), 0700);
            std::filesystem::create_directories(line);
        }
        QString Socket() const {
            return QString::fromStdString(run.string()) + "/CTagsmithApp-" +
                   QString::number(getuid());
        }
        void Start(QProcess& p) const {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("HOME", QString::fromStdString(tmp.Path().string()));
            env.insert("XDG_RUNTIME_DIR", QString::fromStdString(run.string()));
            env.insert("QT_QPA_PLATFORM", "offscreen");
            p.setProcessEnvironment(env);
            p.setProcessChannelMode(QProcess::MergedChannels);
            p.start(QString::fromStdString((app / "tagsmith").string()),
                    {"--simulate", QString::fromStdString(line.string()), "--debug"});
        }
        // The first copy listens once its window exists.
        bool WaitListening(QProcess& first) const {
            return WaitFor([&] {
                       return QFile::exists(Socket()) || first.state() == QProcess::NotRunning;
                   }) &&
                   first.state() == QProcess::Running;
        }
    };

private slots:
    void secondStartActivatesTheFirstAndEnds() {
        Station s;
        QProcess first;
        s.Start(first);
        QVERIFY(s.WaitListening(first));

        QProcess second;
        QElapsedTimer clock;
        clock.start();
        s.Start(second);
        QVERIFY(second.waitForFinished(15000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(WaitFor([&] {
            first.waitForReadyRead(50);
            return first.peek(1 << 20).contains("activated by another start");
        }));
        QCOMPARE(first.state(), QProcess::Running);

        // SIGTERM ends the first copy as its close button does: settings saved.
        ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
        QVERIFY(first.waitForFinished(15000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
        std::string cfg = ts::test::ReadFile(s.app / "tagsmith.cfg");
        QVERIFY(cfg.find("tabmode=0") != std::string::npos);
        QVERIFY(cfg.find("SNPath=") != std::string::npos);
    }

    void aCopyThatDiedDoesNotBlockTheNext() {
        Station s;
        QProcess first;
        s.Start(first);
        QVERIFY(s.WaitListening(first));
        first.kill();  // SIGKILL: lock file and socket are left behind
        QVERIFY(first.waitForFinished(15000));
        QVERIFY(QFile::exists(s.Socket()));

        QProcess next;
        s.Start(next);
        // It runs as the first copy: listening again, not ending.
        QVERIFY(WaitFor(
                    [&] {
                        next.waitForReadyRead(50);
                        return next.state() != QProcess::Running;
                    },
                    2000) == false);
        QProcess third;
        s.Start(third);
        QVERIFY(third.waitForFinished(15000));
        QCOMPARE(third.exitCode(), 0);
        QVERIFY(WaitFor([&] {
            next.waitForReadyRead(50);
            return next.peek(1 << 20).contains("activated by another start");
        }));
        ::kill(static_cast<pid_t>(next.processId()), SIGINT);
        QVERIFY(next.waitForFinished(15000));
        QCOMPARE(next.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(InstanceTest)
#include "test_gui_instance.moc"
