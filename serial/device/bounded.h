// runBounded: blocking work that the system may keep waiting far longer than the program can (a tty's
// final close, a drain, a stuck USB adapter), run on a thread of its own so that the caller waits for
// it only as long as it chooses.
#pragma once

#include <QtGlobal>

#include <functional>

// Runs `work` on a thread of its own and waits for it at most `waitMs`; true when it ended in time.
// Work that the system keeps waiting longer goes on alone: it must own everything it touches, and the
// program ends without waiting for it (ending a process ends its waits in the kernel). `then` runs on
// that thread after the work, unwaited for. When no thread can be made, both run here, unbounded.
bool runBounded(qint64 waitMs, std::function<void()> work, std::function<void()> then = {});
