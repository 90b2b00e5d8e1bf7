// Opening a directory from outside (TEMP, an existing extraction directory)
// as itself, so that a junction or symbolic link planted at its path is
// refused instead of followed to somebody else's files, and reading its
// owner through that handle, never by path.
#pragma once

#include <windows.h>

enum DirectoryOpen {
  DIRECTORY_OPENED,    // *handle is the directory itself; the caller closes it
  DIRECTORY_IS_LINK,   // a reparse point stands at the path; nothing is open
  DIRECTORY_UNUSABLE,  // missing, not a directory, or not openable; GetLastError() says why
};

// Opens path with `access` and FILE_FLAG_OPEN_REPARSE_POINT, and checks it
// both through the handle and by the path's attributes: Windows reports a
// link on the handle, while a system that follows a link in every handle
// (Wine with a host link) still marks it by path.
DirectoryOpen open_directory_itself(const wchar_t* path, DWORD access, HANDLE* handle);

// The current user's SID, read from the process token once into a static
// buffer; null while the token cannot be read.
PSID current_user_sid();

enum DirectoryOwner {
  DIRECTORY_OWNED_BY_USER,
  DIRECTORY_OWNED_BY_OTHER,
  DIRECTORY_OWNER_UNREADABLE,  // *error says why
};

// Whose the opened directory is: read on its handle, so it is the owner of
// the directory that was checked, not of whatever its path leads to later.
DirectoryOwner directory_owner(HANDLE directory, PSID user, unsigned long* error);

enum DirectoryGuard {
  DIRECTORY_GUARDED,         // only the user, SYSTEM and Administrators can change what is below it
  DIRECTORY_OPEN_TO_OTHERS,  // another owner, or an entry giving another account a right named below
  DIRECTORY_WITHOUT_ACLS,    // on a volume that keeps none (FAT, exFAT), or a placeholder of a synced folder
  DIRECTORY_GUARD_UNREADABLE,
};

// Whether another account could rename, delete or take over the opened
// directory (or what is in it), and so swap in a tree of its own between a
// check and its use: an owner other than the user, SYSTEM or
// Administrators, an entry of the DACL that applies to the directory itself
// and allows anyone else DELETE, FILE_DELETE_CHILD, WRITE_DAC, WRITE_OWNER
// or GENERIC_ALL (inherited entries included), a null DACL, a volume without
// persistent ACLs, or a reparse point or recall attribute on the directory
// itself (a placeholder that a sync client fills in). The volume is not asked
// again for a directory known to lie on one already checked: under Wine the
// question is a round trip to the mount manager, a quarter of a millisecond.
enum VolumeCheck {
  READ_VOLUME_FLAGS,
  ON_CHECKED_VOLUME,
};
DirectoryGuard directory_guard(HANDLE directory, PSID user, VolumeCheck volume);
