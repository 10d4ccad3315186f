// The standard descriptors of a program started by Linux: made valid before anything is opened.
#pragma once

namespace tr350::platform {

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that no file or device the
// program opens later (a reader's node) can become its input or output. First thing in main.
// False when one could not be opened; the program must not go on then.
bool OpenMissingStandardDescriptors();

}  // namespace tr350::platform
