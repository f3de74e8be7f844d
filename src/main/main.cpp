#include "launcher/app/launcherapplication.h"

int main(int argc, char* argv[])
{
  return orvale::launcher::runLauncher(argc, argv);
}
