#pragma once
// Helpers of the desktop program's tests: a private application folder with
// the installation's files, a simulated line, and waiting on the event loop.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/TestSupport.h"

namespace ts::gui::test {

// Copies what the program needs from the build's application folder into
// `dir`: configuration, data file and both plug-ins (the sample list too).
inline void MakeAppFolder(const std::filesystem::path& dir) {
    ts::test::InstallApp(dir,
                         {"tagsmith.cfg", "ulpkData.bin", "modhost.so", "Volkit.so", "sample.ids"});
}

// Runs tagsmith-cli of the build on the line folder; its exit status.
inline int Cli(const std::filesystem::path& line, const std::string& args,
               std::string* out = nullptr) {
    return ts::test::RunCommand(
        ts::test::AppDir() + "tagsmith-cli --simulate '" + line.string() + "' " + args + " 2>&1",
        out);
}

// Processes events until `done` holds or `ms` passed; the last `done`.
inline bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The ID file on a simulated device's image (the example configuration's
// SNPath), read with mtools; empty when it cannot be read.
inline std::string ReadIdOnImage(const std::filesystem::path& img) {
    std::string out;
    int rc = ts::test::RunCommand(
        "MTOOLS_SKIP_CHECK=1 mtype -i '" + img.string() + "' ::/sn/id.txt 2>/dev/null", &out);
    return rc == 0 ? out : std::string();
}

}  // namespace ts::gui::test
