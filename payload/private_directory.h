// The extraction directory is made for the current user alone, so that in a
// shared TEMP nobody else can read what is unpacked or plant a DLL beside it.
// Windows only; the descriptor is built in static buffers, without allocation.
#pragma once

enum PrivateDirectory {
  PRIVATE_DIRECTORY_READY,
  PRIVATE_DIRECTORY_FAILED,         // a system call failed (*error says why); nothing changed
  PRIVATE_DIRECTORY_IS_LINK,        // a junction or link stands at the path; nothing changed
  PRIVATE_DIRECTORY_FOREIGN_OWNER,  // another user's directory stands there; nothing changed
};

// Makes path (its parent must exist) with a protected DACL that grants the
// current user full access and is inherited by everything below. A directory
// found there is used when the user owns it and it is no link: it gets the
// same DACL, set through a handle on the directory itself.
// *error is the failed call's GetLastError() (or its result, for the
// security functions that return one) when the result is FAILED.
PrivateDirectory create_private_directory(const wchar_t* path, unsigned long* error);
