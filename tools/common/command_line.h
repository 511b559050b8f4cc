#pragma once

// The command lines of the tools: long options (--name VALUE or --name=VALUE, -h for --help) read by
// Boost.Program_options, and the first lines every tool's main runs. Errors name the option and what went
// wrong in the tools' own words ("unknown option --x", "--x needs a value", "unexpected argument 'x'").

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/variables_map.hpp>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "ara/core/result.h"

namespace camera_tools {

namespace po = boost::program_options;

// An empty table of options, as wide as the usage's other lines.
po::options_description OptionTable();

// An option whose value the tool checks itself, so that its error can say what was expected.
struct TextOption {
    const char* name;
    const char* valueName;  // in the usage: --name VALUENAME
    const char* help;
};

// A table of text options, and -h/--help. The last occurrence of a repeated option wins.
po::options_description TextOptions(std::initializer_list<TextOption> options);

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

// A tool's main: reopens the standard descriptors, reads the command line with `parse` and answers --help;
// then `run` with the options. The exit status: 2 for a bad command line (the error and the usage on
// stderr), 0 after --help, else `run`'s.
template <class Options, class Run>
int RunTool(const char* tool, int argc, const char* const* argv,
            ara::core::Result<Options, std::string> (*parse)(const std::vector<std::string>&),
            const std::string& usage, Run run) {
    auto parsed = parse(ToolArguments(argc, argv));
    if (!parsed.HasValue()) {
        return RefuseCommandLine(tool, parsed.Error(), usage);
    }
    if (parsed.Value().help) {
        return ShowUsage(usage);
    }
    return run(std::move(parsed).Value());
}

}  // namespace camera_tools
