// Console control events during a run. Ctrl+C and Ctrl+Break (on Linux
// SIGINT, SIGTERM and SIGHUP) ask the run to stop: it stops at its next safe
// point before the download command, and is refused from there to the
// verdict. Closing the console, logging off and shutting down leave the
// process a few seconds: the handler then gives the still-image service back
// itself, with its own handles.
//
// The handler only changes lock-free atomic words (and, for the three
// ending events, talks to the service manager on its own thread). The
// writing calls and the acknowledgement are made by each scanner's update,
// on its own thread under --all; the service hand-over only by the main
// thread.
#pragma once

#include "messages/messages.h"
#include "platform/win32.h"

// Registers the handler and forgets the events of any earlier run. The first
// thing the entry does.
void InstallInterruptHandler();

// The registered handler.
BOOL WINAPI OnConsoleControl(DWORD event);

// A safe point before anything irreversible: true when an interrupt has
// arrived. The run counts as cancelled from then on; the caller prints
// MsgUpdateCancelled and goes to its end.
bool CancelAtSafePoint();

// Right before a scanner's download command: true when it may now be
// written, after which interrupts are refused for it; false (the run
// cancelled, as by CancelAtSafePoint) when an interrupt came first.
bool BeginWriting();
// Its verdict is in: it no longer burns. Once no scanner is being written,
// a close, logoff or shutdown gives the service back at once.
void EndWriting();

// Prints MsgCannotCancel when an interrupt has arrived while a scanner is
// written and it has not been printed yet in this run (once, whichever
// scanner prints next).
void AcknowledgeRefusedInterrupt(LanguageIndex language);

// True when this run ended at a safe point for an interrupt, in discovery or
// before the download command, or --all left a scanner without its update.
bool RunWasCancelled();
// --all: an interrupt has arrived, refused or not; the next scanner is not
// started.
bool InterruptArrived();
// --all: the run left a scanner without its update after an interrupt.
void NoteRunCancelled();

// How many Ctrl+C and Ctrl+Break events have arrived since the process
// began; a change means one came in between.
unsigned StopRequests();

// The main thread's side of the service hand-over. Every service call of the
// main thread is made between BeginServiceCall and EndServiceCall, and only
// when BeginServiceCall returns true; once the handler has taken the service
// over it returns false for good.
bool BeginServiceCall();
void EndServiceCall();
// Said (between the two) right before the main thread suspends the service,
// so that the handler knows there is something to give back.
void NoteServiceSuspended();
// Said (between the two) once the main thread has given it back: a later
// close, logoff or shutdown has nothing left to do.
void NoteServiceGivenBack();
