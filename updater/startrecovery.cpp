// At start-up, before anything else uses the installation: what an interrupted update left is
// settled, and the status line says what was found.
#include "startrecovery.h"
#include "copyjournal.h"
#include "copynames.h"
#include "installsupport.h"
#include "session.h"
#include "settings.h"
#include <stdio.h>
#include <stdlib.h>

static void showRecovery(JournalOutcome outcome)
{
    char text[pathBufferSize + 128];
    const char *status = NULL;
    if (outcome == JournalRestored)
        status = "Previous version restored (update interrupted).";
    else if (outcome == JournalChangedLeft)
        status = "Previous version restored (update interrupted); files changed since were "
                 "left as they are.";
    else if (outcome == JournalUnreadable)
        status = "Update journal unreadable: nothing undone, set aside as "
                 "QIMUpdate.journal.unreadable.";
    else if (outcome == JournalBusy)
        status = "Another updater is working on this installation.";
    if (outcome == JournalIncomplete) {
        snprintf(text, sizeof text,
                 "Interrupted update: could not restore %s. Close QIM and 3ds Max, then start "
                 "QIMUpdate again.",
                 unrestoredFile());
        status = text;
    }
    if (!status)
        return;
    SetWindowTextA(session.statusLabel, status);
    // A silent start shows what the user must know instead of checking quietly.
    if (session.silent && outcome != JournalBusy) {
        session.silent = false;
        ShowWindow(session.mainWindow, SW_SHOW);
    }
}

void recoverInterruptedCopy()
{
    char *rendererDir = rendererDirectory();
    char *elsewhere = readCopyRoot();
    JournalOutcome outcome = JournalAbsent;
    if (elsewhere && !isRendererDirectory(elsewhere) && directoryExists(elsewhere))
        outcome = settleCopyJournal(elsewhere);
    if (elsewhere && outcome != JournalIncomplete && outcome != JournalBusy)
        clearCopyRoot();
    if (rendererDir && directoryExists(rendererDir) && outcome <= JournalSettled)
        outcome = settleCopyJournal(rendererDir);
    free(rendererDir);
    free(elsewhere);
    showRecovery(outcome);
}
