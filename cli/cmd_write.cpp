// tagsmith-cli write ID: the write-ID flow on the first drive that answers
// the handshake, as the scan page writes a typed ID.
#include <cstdio>

#include "cli/CliSupport.h"
#include "idsource/Pages.h"
#include "platform/Codepage.h"

namespace ts::cli {

int CmdWrite(Context& ctx) {
    std::optional<std::u16string> id;
    std::optional<MsgAnswer> answer;
    std::optional<bool> verify;
    for (const std::string& a : ctx.args) {
        if (a == "--verify" && !verify) {
            verify = true;
        } else if (a == "--yes" && !answer) {
            answer = MsgAnswer::Yes;
        } else if (a == "--no" && !answer) {
            answer = MsgAnswer::No;
        } else if (!id && (a.empty() || a[0] != '-')) {
            id = Utf8ToWide(a);
        } else {
            Usage();
            return kExitUsage;
        }
    }
    if (!id) {
        Usage();
        return kExitUsage;
    }
    Session s;
    if (!s.Open(ctx, verify)) return kExitFailed;
    s.boxes.answer = answer;
    // As the scan page does: an ID a device holds by the ledger is written
    // again only when the operator says so.
    std::u16string when, station;
    if (HeldInLedger(s.core, *id, &when, &station) &&
        s.core.MessageBox(RewriteQuestion(when, station), MsgButtons::YesNo, MsgIcon::Question) !=
            MsgAnswer::Yes) {
        return kExitOk;
    }
    s.core.SetWriteMode(true);
    s.page.id = *id;
    if (!s.core.ScanDevices().dispatched) {
        std::fputs("tagsmith-cli: no device answered the handshake\n", stderr);
        return kExitNoDevice;
    }
    int code = s.core.WriteDeviceSN(*id);
    if (code != 0) {
        std::printf("result %d\n", code);
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace ts::cli
