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
        // `runtime`: another user's runtime folder instead of this one's;
        // `extra`: more environment.
        void Start(QProcess& p, const std::filesystem::path& runtime = {},
                   const QStringList& extra = {}) const {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("HOME", QString::fromStdString(tmp.Path().string()));
            env.insert("XDG_RUNTIME_DIR",
                       QString::fromStdString((runtime.empty() ? run : runtime).string()));
            for (const QString& e : extra) env.insert(e.section('=', 0, 0), e.section('=', 1));
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

    // Apart from the one-copy-per-user rule, the application folder is used
    // by one process at a time, whoever runs it.
    void oneProcessPerApplicationFolder() {
        Station s;
        std::filesystem::copy_file(std::filesystem::path(ts::test::AppDir()) / "tagsmith-cli",
                                   s.app / "tagsmith-cli");
        QProcess first;
        s.Start(first);
        QVERIFY(s.WaitListening(first));

        std::string out;
        QCOMPARE(ts::test::RunCommand("'" + (s.app / "tagsmith-cli").string() + "' --simulate '" +
                                          s.line.string() + "' read 2>&1",
                                      &out),
                 1);
        QVERIFY2(out.find("in use by another process (pid " + std::to_string(first.processId()) +
                          ")") != std::string::npos,
                 out.c_str());

        // Another user's copy: not an activation of the first, a refusal.
        const std::filesystem::path otherRun = s.tmp.Path() / "run2";
        std::filesystem::create_directories(otherRun);
        ::chmod(otherRun.c_str(), 0700);
        QProcess other;
        s.Start(other, otherRun);
        QVERIFY(WaitFor([&] {
            other.waitForReadyRead(50);
            return QString::fromUtf8(other.peek(1 << 20)).contains("正被另一个进程使用");
        }));
        other.kill();  // its message box waits for the operator
        QVERIFY(other.waitForFinished(15000));
        QCOMPARE(first.state(), QProcess::Running);

        ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
        QVERIFY(first.waitForFinished(15000));
        QCOMPARE(first.exitCode(), 0);
        // Its folder is free again.
        QCOMPARE(ts::test::RunCommand("'" + (s.app / "tagsmith-cli").string() + "' --simulate '" +
                                      s.line.string() + "' read >/dev/null 2>&1"),
                 3);  // no device, but past the lock
    }

    void aMissingCodePageConverterIsNamed() {
        Station s;
        const std::filesystem::path gconv = s.tmp.Path() / "gconv";
        std::filesystem::create_directories(gconv);
        ts::test::WriteFile(gconv / "gconv-modules",
                            "alias\tCP936//\tNO-SUCH-MODULE//\nalias\tGBK//\tNO-SUCH-MODULE//\n");
        QProcess p;
        s.Start(p, {}, {"GCONV_PATH=" + QString::fromStdString(gconv.string())});
        QVERIFY(WaitFor([&] {
            p.waitForReadyRead(50);
            return QString::fromUtf8(p.peek(1 << 20)).contains("CP936 字符集转换模块");
        }));
        p.kill();
        QVERIFY(p.waitForFinished(15000));
        QVERIFY(!std::filesystem::exists(s.app / "tagsmith.lock"));
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
