// The command line: the options description and its parsing.
#pragma once

#include <boost/program_options.hpp>

namespace vexar
{

// The options in help order, caption "Allowed options".
boost::program_options::options_description makeOptionsDescription();

// Parses the whole command line against the description, stores and
// notifies. Throws the library's errors (unknown, ambiguous or repeated
// options, bad values, bare arguments).
boost::program_options::variables_map
parseOptions(int argc, const char* const argv[],
             const boost::program_options::options_description& description);

} // namespace vexar
