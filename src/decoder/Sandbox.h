#pragma once

// The decoder worker's confinement, applied once it has loaded what it needs.
namespace Sandbox {

// From now on the process gains no privilege and makes only the calls of its
// allow-list (see Sandbox.cpp): no socket, no program started, no process but its
// own threads, no other process signalled or read, no file written or changed.
// Where the kernel has Landlock, it may still open for reading the fonts, their
// configuration, poppler's and the recogniser's data; elsewhere it opens nothing.
// False when the seal could not be put in place.
bool seal();

// Whether Landlock holds the file system (so the fonts can be read).
bool fileSystemConfined();

} // namespace Sandbox
