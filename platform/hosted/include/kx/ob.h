// Object namespace: symbolic links between names, such as \DosDevices\COM5 to
// \Device\...
#pragma once

#include "ntdef.h"

#ifdef __cplusplus
extern "C" {
#endif

// PASSIVE_LEVEL. A link name already in use fails with STATUS_OBJECT_NAME_COLLISION;
// the target is not looked up until the link is followed.
NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS NTAPI IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                               PUNICODE_STRING DeviceName);
// STATUS_OBJECT_NAME_NOT_FOUND when no such link exists.
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);

#ifdef __cplusplus
}
#endif
