#include "launcher/app/launcherapplication.h"
#include "shared/heap.h"

int main(int argc, char* argv[])
{
  shared::keepFreedMemoryForReuse();
  return orvale::launcher::runLauncher(argc, argv);
}
