#include "front/MainMod.h"
#include "platform/APIdeclarations.h"

int main(int argc, char** argv) {
  // Before anything is opened, so that no device can take the number of a closed stream.
  if (!APIdeclarations::SecureStandardStreams()) return MainMod::kExitNotChanged;
  return MainMod::Main(APIdeclarations::GetArgumentWords(argc, argv));
}
