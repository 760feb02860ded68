#pragma once

// The decoder worker's confinement, applied once it has loaded what it needs.
namespace Sandbox {

// From now on the process gains no privilege (no set-uid programs) and may open
// no path, create no socket, start no program and change no file name: those
// calls fail with EACCES. False when the filter could not be installed.
bool seal();

} // namespace Sandbox
