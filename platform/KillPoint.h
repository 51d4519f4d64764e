#pragma once
// Named points in the write path where a test can have the process killed,
// to check what a crash at exactly that moment leaves behind.
//
// TAGSMITH_KILL_AT=NAME or NAME:N makes the process raise SIGKILL the N-th
// time (default 1) it reaches the point NAME. Unset, a point costs one
// string comparison. TAGSMITH_STOP_AT=NAME or NAME:N (not on Windows) makes
// it stop itself there instead (SIGSTOP), alive, until it gets SIGCONT.
namespace ts {

void KillPoint(const char* name);

}  // namespace ts
