// Inside the layer: the signal handlers, alternate signal stacks and the
// abort handler kept for the signal path.
#pragma once

#include "ZNonPortable_Runtime.h"

void _ZPSetAbortHandler(ZAbortHandler handler);
void _ZPInstallSignalHandlers();
void _ZPRemoveSignalHandlers();
// Gives the calling thread an alternate stack for the handlers, so a stack
// overflow still reaches the crash handler.
void _ZPInstallAltStack();
void _ZPRemoveAltStack();
// The exception code a processor fault stands for.
unsigned int _ZPExceptionCodeForSignal(int sig, int code);
const char* _ZPSignalName(int sig);
