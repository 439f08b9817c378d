#pragma once
// How many attachments the shared segment at an address has, counting our own; -1 where the
// system does not tell. System V segments (Qt's mechanism on Linux) outlive the processes that
// used them, so a joined segment may be a leftover that nobody else holds any more.

int segmentAttachCount(const void *address);
