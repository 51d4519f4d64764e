#pragma once
// The application object: one copy per user session. The first start holds
// a lock file and listens on a local socket; a later start asks it to bring
// its window forward and ends without showing anything. Apart from that, the
// application folder is locked for the process's life, as tagsmith-cli locks
// it: a copy started by another user, or a command-line run, on the same
// folder is refused with a message.
#include <QObject>
#include <QString>
#include <memory>
#include <string>

#include "platform/AppFolder.h"

class QLocalServer;
class QLockFile;

namespace ts::gui {

class CTagsmithDlg;

class CTagsmithApp : public QObject {
    Q_OBJECT
public:
    CTagsmithApp();
    ~CTagsmithApp() override;

    // Command line: [--simulate DIR] [--debug]. Returns the process's exit
    // status (0 also for a second copy that handed over).
    int InitInstance(int argc, char** argv);

    // The per-user names: the socket "CTagsmithApp-<uid>" and its lock file,
    // in the user's runtime folder (the temp folder when there is none).
    static QString InstanceName();
    static QString LockPath();
    // A second start: tells the running copy to come forward, trying at
    // most 6 times over 500 ms. True when it was told.
    static bool ActivateRunningCopy();
    // Qt's own texts (standard buttons, file dialog, edit menus) in
    // Chinese whatever the machine's language. False when the translation
    // file is not installed (they stay English).
    static bool LoadQtTranslations();

private:
    bool Listen();
    // What stops a start: on standard error and in an error box.
    static void ShowStartError(const std::u16string& text);
    void InstallSignalHandlers();

    std::unique_ptr<QLockFile> lock_;  // one copy per user
    AppFolderLock folderLock_;         // one process per application folder
    QLocalServer* server_ = nullptr;
    CTagsmithDlg* dlg_ = nullptr;
};

}  // namespace ts::gui
