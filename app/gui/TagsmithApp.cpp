#include "app/gui/TagsmithApp.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QThread>
#include <QTranslator>
#include <cstdio>
#include <string>
#include <vector>

#include "app/StartUp.h"
#include "app/gui/GuiText.h"
#include "app/gui/TagsmithDlg.h"
#include "platform/AppFolder.h"
#include "platform/Codepage.h"
#include "platform/DebugOut.h"
#include "platform/LocalSystem.h"
#include "platform/Profile.h"
#include "platform/RegularFile.h"
#include "sim/SimLine.h"

// Resources of the static library must be registered by hand.
static void InitTagsmithResources() { Q_INIT_RESOURCE(tagsmith); }

namespace ts::gui {

namespace {

constexpr char kActivate[] = "activate\n";
int g_signalPipe[2] = {-1, -1};

void OnTerminateSignal(int) {
    // Only async-signal-safe work here: the GUI thread reads the pipe.
    char b = 1;
    ssize_t n = write(g_signalPipe[0], &b, 1);
    (void)n;
}

QString RuntimeFolder() {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return dir.isEmpty() ? QDir::tempPath() : dir;
}

}  // namespace

CTagsmithApp::CTagsmithApp() { InitTagsmithResources(); }

CTagsmithApp::~CTagsmithApp() = default;

QString CTagsmithApp::InstanceName() {
    static const QString name =
        RuntimeFolder() + QStringLiteral("/CTagsmithApp-") + QString::number(getuid());
    return name;
}

QString CTagsmithApp::LockPath() { return InstanceName() + QStringLiteral(".lock"); }

bool CTagsmithApp::ActivateRunningCopy() {
    for (int attempt = 0; attempt < 6; ++attempt) {
        if (attempt > 0) QThread::msleep(100);
        QLocalSocket socket;
        socket.connectToServer(InstanceName());
        if (!socket.waitForConnected(100)) continue;
        socket.write(kActivate);
        bool sent = socket.waitForBytesWritten(100);
        socket.disconnectFromServer();
        if (sent) return true;
    }
    return false;
}

bool CTagsmithApp::LoadQtTranslations() {
    static QTranslator* installed = nullptr;
    if (installed) return true;
    auto* qt = new QTranslator(QCoreApplication::instance());
    if (!qt->load(QStringLiteral("qtbase_zh_CN"),
                  QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        OutputDebugStringA("CTagsmithApp: qtbase_zh_CN.qm not found; Qt's texts stay English\n");
        delete qt;
        return false;
    }
    QCoreApplication::installTranslator(qt);
    installed = qt;
    return true;
}

bool CTagsmithApp::Listen() {
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the lock, so a socket left by a copy that crashed is stale.
    QLocalServer::removeServer(InstanceName());
    if (!server_->listen(InstanceName())) {
        std::fprintf(stderr, "tagsmith: cannot listen on %s: %s\n", qPrintable(InstanceName()),
                     qPrintable(server_->errorString()));
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_->nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                // A few bytes at most; anything else is dropped.
                QByteArray line = peer->read(64);
                if (line.startsWith("activate") && dlg_) dlg_->Activate();
                peer->disconnectFromServer();
            });
        }
    });
    return true;
}

void CTagsmithApp::InstallSignalHandlers() {
    FailWritesPastSizeLimit();
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return;
    fcntl(g_signalPipe[0], F_SETFL, fcntl(g_signalPipe[0], F_GETFL) | O_NONBLOCK);
    fcntl(g_signalPipe[1], F_SETFL, fcntl(g_signalPipe[1], F_GETFL) | O_NONBLOCK);
    auto* notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char buf[16];
        while (read(g_signalPipe[1], buf, sizeof buf) > 0) {
        }
        if (dlg_) dlg_->RequestQuit();
    });
    struct sigaction sa = {};
    sa.sa_handler = OnTerminateSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

int CTagsmithApp::InitInstance(int argc, char** argv) {
    StartArgs args;
    if (!ParseStartArgs(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), &args)) {
        std::fputs(kStartUsage, stderr);
        return kStartUsageError;
    }
    if (args.debug) SendDebugToStderr();

    // One copy per user: whoever holds the lock runs; the lock of a copy
    // that died is taken over (its process is gone).
    lock_ = std::make_unique<QLockFile>(LockPath());
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        if (lock_->error() == QLockFile::LockFailedError) {
            ActivateRunningCopy();
            return kStartOk;
        }
        // The lock cannot be made at all (no writable folder): run unguarded.
        std::fprintf(stderr, "tagsmith: cannot create %s; running without the one-copy guard\n",
                     qPrintable(LockPath()));
    }

    // The application folder: found, served by a code page converter, not
    // used by another process (a tagsmith-cli run, or another user's copy).
    const std::optional<std::string> appDir = ExecutableFolder();
    const AppFolderCheck check = CheckAppFolder(appDir, folderLock_, true);
    if (!check.Ok()) {
        ShowStartError(StartProblemText(check));
        return kStartRefused;
    }

    std::unique_ptr<DriveSystem> drives =
        args.simDir ? MakeSimLine(*args.simDir) : MakeSystemDrives();
    if (args.simDir && !drives) {
        ShowStartError(SimLineProblemText(*args.simDir));
        return kStartUsageError;
    }

    ApplyDialogLook();
    LoadQtTranslations();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tagsmith.png")));
    CTagsmithDlg dlg(std::move(drives));
    dlg_ = &dlg;
    if (args.simDir) dlg.EnableTrainingBench(*args.simDir);
    Listen();
    InstallSignalHandlers();
    dlg.OnInitDialog(*appDir);
    dlg.RunModal();
    dlg_ = nullptr;
    return kStartOk;
}

void CTagsmithApp::ShowStartError(const std::u16string& text) {
    std::fprintf(stderr, "tagsmith: %s\n", WideToUtf8(text).c_str());
    QMessageBox box(QMessageBox::Critical, Q(std::u16string(kAppTitle)), Q(text), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);  // a path is shown as it stands
    box.exec();
}

}  // namespace ts::gui
