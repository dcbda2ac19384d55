// Work beside: blocking work that the system may keep waiting far longer than the program can (a tty's
// final close, a drain, a stuck USB adapter, an open that takes seconds), run on a thread of its own so
// that the caller waits for it only as long as it chooses. Such work is counted, so that the program's
// end can wait for it, boundedly: no thread of the program runs on past main while the program's
// statics are destroyed.
#pragma once

#include <QtGlobal>

#include <functional>

// Runs `work`, then `then`, on a thread of its own, counted as work beside. Throws std::system_error
// when no thread can be made.
void runBeside(std::function<void()> work, std::function<void()> then = {});

// Runs `work` beside and waits for it at most `waitMs`; true when it ended in time. Work that the system
// keeps waiting longer goes on alone: it must own everything it touches. `then` runs on that thread
// after the work, unwaited for. When no thread can be made, both run here, unbounded.
bool runBounded(qint64 waitMs, const std::function<void()> &work, const std::function<void()> &then = {});

// Work beside that has not ended yet.
int workBesideRunning();

// The program's end, after its last object is gone: waits at most `waitMs` for the work beside, and
// returns `status` when none is left. Otherwise the process ends here with `status`, output flushed and
// no static destroyed (ending a process ends its waits in the kernel).
int finishWorkBeside(int status, qint64 waitMs);
