// Work handed to the event loop: a call that runs later, on the thread of a context object, once the
// current event is over (a queued call). The context's deletion cancels calls still waiting.
#pragma once

#include <functional>

class QObject;

void postToEventLoop(QObject *context, std::function<void()> call);
