#pragma once

#include "DatabaseThread.h"

class QWidget;

namespace morvane {

// Runs a job on the database thread while a window waits for it, keeping the
// windows painted. The user's input waits until the job ends; a job that
// takes longer than the delay shows a modal progress window whose Cancel (or
// Esc) interrupts the engine. Keys typed before that window shows reach the
// control they were typed into once the job has ended. Returns when the job
// has ended, and rethrows what it threw.
class RunWait
{
public:
    static void run(QWidget *window, DatabaseThread &thread, Database *interruptible, DatabaseThread::Job job,
                    int progressDelayMs);
};

} // namespace morvane
