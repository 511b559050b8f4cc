#pragma once

// The command lines of the tools: long options (--name VALUE or --name=VALUE, -h for --help) read by
// Boost.Program_options, and the first lines every tool's main runs. Errors name the option and what went
// wrong in the tools' own words ("unknown option --x", "--x needs a value", "unexpected argument 'x'").

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/variables_map.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ara/core/result.h"

namespace camera_tools {

namespace po = boost::program_options;

// An empty table of options, as wide as the usage's other lines.
po::options_description OptionTable();

// Adds an option whose value the tool checks itself, so that its error can say what was expected; the last
// occurrence of a repeated option wins.
void AddTextOption(po::options_description& options, const char* name, const char* valueName,
                   const char* help);

// The value of a text option, when it was given.
std::optional<std::string> TextValue(const po::variables_map& values, const char* name);

// Parses the arguments after the program name against `options`.
ara::core::Result<po::variables_map, std::string> ParseCommandLine(const po::options_description& options,
                                                                   const std::vector<std::string>& arguments);

// `head` (the synopsis and what the tool does), then the options' table.
std::string UsageText(const std::string& head, const po::options_description& options);

// The arguments after the program name. Before anything else: reopens closed standard descriptors, which the
// first files opened would take (and then receive the tool's output).
std::vector<std::string> ToolArguments(int argc, const char* const* argv);

// Prints `tool: error` and the usage on stderr; the exit status of a bad command line.
int RefuseCommandLine(const char* tool, const std::string& error, const std::string& usage);

// Prints the usage on stdout; the exit status after --help.
int ShowUsage(const std::string& usage);

// The first lines of a tool's main: the standard descriptors, the command line, --help. The options to run
// with, or the exit status when main is to end here (2 for a bad command line, 0 after --help).
template <class Options>
ara::core::Result<Options, int> StartTool(
    const char* tool, int argc, const char* const* argv,
    ara::core::Result<Options, std::string> (*parse)(const std::vector<std::string>&),
    const std::string& usage) {
    using Started = ara::core::Result<Options, int>;
    auto parsed = parse(ToolArguments(argc, argv));
    if (!parsed.HasValue()) {
        return Started::FromError(RefuseCommandLine(tool, parsed.Error(), usage));
    }
    if (parsed.Value().help) {
        return Started::FromError(ShowUsage(usage));
    }
    return Started::FromValue(std::move(parsed).Value());
}

}  // namespace camera_tools
