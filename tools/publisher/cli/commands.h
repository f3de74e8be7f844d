#pragma once

#include "commandline.h"

// The commands of ashgrove-publish, as the parser takes them and the help
// and the manual page show them.
namespace orvale::publisher::cli {

extern const char* const PublisherProgram;

const std::vector<TCommandSpec>& publisherCommands();
shared::THelpPage publisherHelpPage();

} // namespace orvale::publisher::cli
