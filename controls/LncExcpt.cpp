// Exception classes of the extension controls: messages from the library's message table.
#include "controls/LncExcpt.h"

#include "controls/LncSrMgr.h"

ENoTimersAvailable::ENoTimersAvailable() : ELncException(LncGetString(30189)) {}
ENoControllerAssigned::ENoControllerAssigned() : EControllerError(LncGetString(30172)) {}
EDuplicateCommand::EDuplicateCommand() : ECmdProcessorError(LncGetString(30169)) {}
ETableNotFound::ETableNotFound() : ECmdProcessorError(LncGetString(30170)) {}
