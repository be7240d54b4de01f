#include "front/MainMod.h"
#include "platform/APIdeclarations.h"

int main(int argc, char** argv) {
  return MainMod::Main(APIdeclarations::GetArgumentWords(argc, argv));
}
