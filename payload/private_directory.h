// The extraction directory is made for the current user alone, so that in a
// shared TEMP nobody else can read what is unpacked or plant a DLL beside it.
// Windows only; the descriptor is built in static buffers, without allocation.
#pragma once

// Makes path (its parent must exist) with a protected DACL that grants the
// current user full access and is inherited by everything below; an existing
// directory is given the same DACL if the user owns it. False, with nothing
// made or changed, when that cannot be done.
bool create_private_directory(const wchar_t* path);
