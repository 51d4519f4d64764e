#pragma once
// Opening the files the tool reads (settings, ID lists, plug-ins, fault
// files) without ever blocking: open() on a FIFO waits for a writer, and on a
// device node it may have side effects, so anything but a regular file is
// refused before it is opened, and checked again on the descriptor.
#include <string>

namespace ts {

enum class FileKind {
    Regular,
    Missing,      // nothing at the path
    Folder,       // a directory
    Special,      // a FIFO, socket or device node
    Unreachable,  // stat failed for another reason (permissions, loop, ...)
};

// What stands at `path`, links followed. `err` receives errno on failure.
FileKind KindOf(const std::string& path, int* err = nullptr);

// Opens an existing regular file read-only, close-on-exec. -1 when it is
// missing, not a regular file or cannot be opened; `kind` tells which
// (Regular with `err` set: open or read failed).
int OpenRegularFile(const std::string& path, FileKind* kind = nullptr, int* err = nullptr);

// "a folder", "a FIFO, socket or device, not a file", ... for messages.
const char* FileKindText(FileKind kind);

}  // namespace ts
