// A program built without resources, started by the resource test: its exit status says what it
// found in its own file (bit 0: some resources, bit 1: the image, bit 2: a version; 8: a cause was
// recorded).
#include "platform/native.h"

int main() {
  using tr350::platform::ProgramResources;
  const auto resources = tr350::platform::OpenProgramResources();
  tr350::platform::ClearLastCause();
  int found = 0;
  if (resources->ResourceState() != ProgramResources::State::kAbsent) found |= 1;
  if (resources->Find(132, 131)) found |= 2;
  if (resources->ProgramFileVersion()) found |= 4;
  if (tr350::platform::LastCause()) found |= 8;
  return found;
}
